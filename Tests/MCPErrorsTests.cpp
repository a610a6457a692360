#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "MCPErrors.h"

namespace {

using namespace quill;
using Names = std::vector<std::string>;

TEST(MCPErrorsTests, FixedTextsAreExact) {
  struct Case {
    std::string_view actual;
    std::string_view expected;
    std::size_t bytes;
  };
  const Case cases[] = {
      {MCPErrors::appNotRunning,
       "Quill isn't running \xE2\x80\x94 open Quill on this Mac, then try again.", 63},
      {MCPErrors::disabled,
       "Agent access is turned off in Quill. Ask the user to enable it in Quill \xE2\x86\x92 "
       "Settings \xE2\x86\x92 Agents.",
       96},
      {MCPErrors::signedOut,
       "Quill is open but no one is signed in. Ask the user to sign in to Quill first.", 78},
      {MCPErrors::noProjects,
       "Quill has no projects yet. Ask the user to create a project in Quill first.", 75},
      {MCPErrors::internalError,
       "Quill hit an internal error building the briefing. Try again in a moment.", 73},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.actual, c.expected);
    EXPECT_EQ(c.actual.size(), c.bytes) << c.expected;
  }
}

TEST(MCPErrorsTests, UnknownProjectNamesTheRequestAndTheChoices) {
  struct Case {
    std::string requested;
    Names available;
    std::string text;
  };
  const Case cases[] = {
      {"Foo",
       {"Alpha", "Beta"},
       "No Quill project matches \"Foo\". The user's projects are: Alpha, Beta. Retry with one of "
       "those names."},
      {"Foo",
       {},
       "No Quill project matches \"Foo\". The user's projects are: . Retry with one of "
       "those names."},
      {"",
       {"Alpha"},
       "No Quill project matches \"\". The user's projects are: Alpha. Retry with "
       "one of those names."},
      {"Say \"hi\"\n",
       {" b ", "a", "a"},
       "No Quill project matches \"Say \"hi\"\n\". The user's projects are:  b , a, a. Retry with "
       "one of those names."},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MCPErrors::unknownProject(c.requested, c.available), c.text);
  }
}

TEST(MCPErrorsTests, AmbiguousProjectListsTheCandidates) {
  struct Case {
    Names candidates;
    std::string text;
  };
  const Case cases[] = {
      {{"Alpha", "Alpha Two"},
       "The user has several Quill projects: Alpha, Alpha Two. Ask the user which one they mean, "
       "then retry with that name."},
      {{"One"},
       "The user has several Quill projects: One. Ask the user which one they mean, then retry "
       "with that name."},
      {{},
       "The user has several Quill projects: . Ask the user which one they mean, then retry with "
       "that name."},
  };
  for (const auto& c : cases) EXPECT_EQ(MCPErrors::ambiguousProject(c.candidates), c.text);
}

TEST(MCPErrorsTests, LongListsAreWrittenWhole) {
  Names names;
  std::string joined;
  for (int i = 0; i < 500; ++i) {
    names.push_back("Project " + std::to_string(i));
    joined += (i ? ", " : "") + names.back();
  }
  EXPECT_EQ(MCPErrors::ambiguousProject(names),
            "The user has several Quill projects: " + joined +
                ". Ask the user which one they mean, then retry with that name.");
  EXPECT_EQ(MCPErrors::unknownProject("x", names),
            "No Quill project matches \"x\". The user's projects are: " + joined +
                ". Retry with one of those names.");
}

}  // namespace
