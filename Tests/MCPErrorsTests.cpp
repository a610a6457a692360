#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "MCPErrors.h"

namespace {

using namespace quill;
using Names = std::vector<std::string>;

TEST(MCPErrorsTests, FixedTextsAreExact) {
  EXPECT_EQ(MCPErrors::appNotRunning,
            "Quill isn't running \xE2\x80\x94 open Quill on this Mac, then try again.");
  EXPECT_EQ(MCPErrors::disabled,
            "Agent access is turned off in Quill. Ask the user to enable it in Quill \xE2\x86\x92 "
            "Settings \xE2\x86\x92 Agents.");
  EXPECT_EQ(MCPErrors::signedOut,
            "Quill is open but no one is signed in. Ask the user to sign in to Quill first.");
  EXPECT_EQ(MCPErrors::noProjects,
            "Quill has no projects yet. Ask the user to create a project in Quill first.");
  EXPECT_EQ(MCPErrors::internalError,
            "Quill hit an internal error building the briefing. Try again in a moment.");
}

// Names are placed as they are, joined with ", ", however many, whatever they hold.
TEST(MCPErrorsTests, BuildersNameTheRequestAndTheChoices) {
  EXPECT_EQ(MCPErrors::unknownProject("Foo", {"Alpha", "Beta"}),
            "No Quill project matches \"Foo\". The user's projects are: Alpha, Beta. Retry with "
            "one of those names.");
  EXPECT_EQ(MCPErrors::unknownProject("Say \"hi\"\n", {" b ", "a", "a"}),
            "No Quill project matches \"Say \"hi\"\n\". The user's projects are:  b , a, a. Retry "
            "with one of those names.");
  EXPECT_EQ(MCPErrors::unknownProject("", {}),
            "No Quill project matches \"\". The user's projects are: . Retry with one of those "
            "names.");
  EXPECT_EQ(MCPErrors::ambiguousProject({"Alpha", "Alpha Two"}),
            "The user has several Quill projects: Alpha, Alpha Two. Ask the user which one they "
            "mean, then retry with that name.");
  EXPECT_EQ(MCPErrors::ambiguousProject({"One"}),
            "The user has several Quill projects: One. Ask the user which one they mean, then "
            "retry with that name.");
  EXPECT_EQ(MCPErrors::ambiguousProject({}),
            "The user has several Quill projects: . Ask the user which one they mean, then retry "
            "with that name.");
}

}  // namespace
