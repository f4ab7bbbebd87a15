// The one test of the documented-example tables that each kernel family's
// test file instantiates.
#include "test_support.hpp"

namespace tolvane::testing_support {
namespace {

TEST_P(DocumentedExamples, GivesTheDocumentedResult) {
    const auto [got, want] = GetParam().run();
    EXPECT_EQ(got, want);
}

}  // namespace
}  // namespace tolvane::testing_support
