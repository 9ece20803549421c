// The root logger: a list of registered outputs, each switched on or off by
// its kind (standard error, debugger output). Set up before main; used by
// the launcher's main thread only, without locks.
#pragma once

#include <boost/any.hpp>
#include <vector>

#include "cpplog/Loggers.h"

namespace cpplog {

class QxLogger : public BaseLogger {
public:
    QxLogger() = default;
    QxLogger(const QxLogger&) = delete;
    QxLogger& operator=(const QxLogger&) = delete;
    // Drops the list; the registered loggers are not destroyed.
    ~QxLogger() override;

    // Registers an output (not owned) at the end of the list; the first of
    // each kind is also remembered as stdLogger / dbgLogger.
    void AddLogger(QxStdLogger* logger);
    void AddLogger(QxDbgLogger* logger);
    // Any other value is kept in the list and skipped by the dispatch.
    void AddEntry(boost::any entry) { loggers.push_back(std::move(entry)); }

    void SetStdEnabled(bool on) { stdEnabled = on; }
    void SetDbgEnabled(bool on) { dbgEnabled = on; }

    // Passes the record to the enabled outputs in list order while they
    // answer true; stops at the first false answer or at an exception, and
    // answers what was reached so far.
    bool SendRecord(LogData& data) override;

private:
    QxStdLogger* stdLogger = nullptr;
    QxDbgLogger* dbgLogger = nullptr;
    bool stdEnabled = true;
    bool dbgEnabled = true;
    std::vector<boost::any> loggers;
};

}  // namespace cpplog
