#include "platform/app_data.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace {

class Env {
public:
    Env(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value)
            ::setenv(name, value->c_str(), 1);
        else
            ::unsetenv(name);
    }
    ~Env() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }
    Env(const Env&) = delete;
    Env& operator=(const Env&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(AppData, StateHomeWhenAbsoluteElseUnderHome) {
    Env home("HOME", "/home/u");
    {
        Env state("XDG_STATE_HOME", "/var/state/u/");
        EXPECT_EQ(platform::LocalAppDataDir(), "/var/state/u");
    }
    {
        // A relative value is to be ignored.
        Env state("XDG_STATE_HOME", "state");
        EXPECT_EQ(platform::LocalAppDataDir(), "/home/u/.local/state");
    }
    {
        Env state("XDG_STATE_HOME", std::nullopt);
        EXPECT_EQ(platform::LocalAppDataDir(), "/home/u/.local/state");
    }
}

}  // namespace
