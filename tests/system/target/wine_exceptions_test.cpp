// The list of Wine exceptions stays true to the tests: an entry that names no
// test any more would hide nothing but would suggest a difference that is gone.
#include "wine_exceptions.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

TEST(WineExceptionList, EveryEntryNamesAnExistingTestOnce)
{
    std::set<std::string> tests;
    const ::testing::UnitTest* unit = ::testing::UnitTest::GetInstance();
    for (int i = 0; i < unit->total_test_suite_count(); i++) {
        const ::testing::TestSuite* suite = unit->GetTestSuite(i);
        for (int j = 0; j < suite->total_test_count(); j++) {
            tests.insert(std::string(suite->name()) + "." + suite->GetTestInfo(j)->name());
        }
    }
    size_t count = 0;
    const systest::WineException* list = systest::WineExceptions(&count);
    std::set<std::string> seen;
    for (size_t i = 0; i < count; i++) {
        std::string name = std::string(list[i].suite) + "." + list[i].test;
        EXPECT_TRUE(tests.count(name)) << name << " is listed as a Wine exception but is no test";
        EXPECT_TRUE(seen.insert(name).second) << name << " is listed twice";
        EXPECT_GT(std::string(list[i].reason).size(), 20u) << name << " needs a reason";
    }
}

}  // namespace
