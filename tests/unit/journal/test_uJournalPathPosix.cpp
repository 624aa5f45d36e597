#include "journal/uJournal.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace {

// Sets or clears an environment variable for the scope, restoring it afterwards.
class TEnv {
public:
    TEnv(const char* sName, const char* sValue) : FName(sName) {
        if (const char* s = std::getenv(sName))
            FOld = s;
        if (sValue)
            setenv(sName, sValue, 1);
        else
            unsetenv(sName);
    }
    ~TEnv() {
        if (FOld)
            setenv(FName, FOld->c_str(), 1);
        else
            unsetenv(FName);
    }

private:
    const char* FName;
    std::optional<std::string> FOld;
};

TEST(JournalPath, OverrideThenStateFolderThenHome) {
    struct TCase {
        const char *sJournal, *sState, *sExpected;
    };
    const TCase aCases[] = {
        {"/srv/j.sqlite3", "/state", "/srv/j.sqlite3"},
        {"", "/state", "/state/kelvo/journal.sqlite3"},
        {nullptr, nullptr, "/home/op/.local/state/kelvo/journal.sqlite3"},
        {nullptr, "relative/state", "/home/op/.local/state/kelvo/journal.sqlite3"},
    };
    const TEnv home("HOME", "/home/op");
    for (const TCase& c : aCases) {
        const TEnv journal("KELVO_JOURNAL", c.sJournal);
        const TEnv state("XDG_STATE_HOME", c.sState);
        EXPECT_EQ(JournalPath(), c.sExpected);
    }
}

} // namespace
