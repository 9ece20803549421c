#include "cpplog/QxLogger.h"

namespace cpplog {

QxLogger::~QxLogger() { loggers.clear(); }

void QxLogger::AddLogger(QxStdLogger* logger) {
    if (!stdLogger) stdLogger = logger;
    loggers.emplace_back(logger);
}

void QxLogger::AddLogger(QxDbgLogger* logger) {
    if (!dbgLogger) dbgLogger = logger;
    loggers.emplace_back(logger);
}

bool QxLogger::SendRecord(LogData& data) {
    bool answer = true;
    try {
        for (const boost::any& entry : loggers) {
            BaseLogger* target = nullptr;
            if (stdEnabled && entry.type() == typeid(QxStdLogger*)) {
                target = boost::any_cast<QxStdLogger*>(entry);
            } else if (dbgEnabled && entry.type() == typeid(QxDbgLogger*)) {
                target = boost::any_cast<QxDbgLogger*>(entry);
            } else {
                continue;
            }
            if (!target) continue;
            if (!answer) break;
            answer = target->SendRecord(data);
        }
    } catch (...) {
        // A failing output must not take the program down with it.
    }
    return answer;
}

}  // namespace cpplog
