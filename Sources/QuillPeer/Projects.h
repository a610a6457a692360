// The projects the stand-in application knows, as its projects file holds them, and how an
// agent's loosely typed project name picks one of them.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quill {

struct Fact {
  std::string text;
  std::string source;  // where the fact comes from: a document, a meeting, a person
  int match = 0;       // how well the fact is backed by its source, in percent (0 to 100)

  friend bool operator==(const Fact&, const Fact&) = default;
};

struct Project {
  std::string name;
  std::vector<Fact> facts;
  std::vector<std::string> uncertain;  // items to verify before relying on them
  std::vector<std::string> rules;      // hard do-NOT rules
  std::vector<std::string> withheld;   // what the briefing deliberately leaves out
};

namespace ProjectFile {

// Files larger than this are refused.
inline constexpr std::size_t maxBytes = 16 * 1024 * 1024;

// Reads a projects file:
//   {"projects": [{"name": "…",
//                  "facts": [{"text": "…", "source": "…", "match": 92}],
//                  "uncertain": ["…"], "rules": ["…"], "withheld": ["…"]}]}
// "name" is required and must not be blank; the four lists may be left out. Unknown keys are
// refused so that a misspelt key does not silently drop material. Two projects whose names
// differ only in case or surrounding blanks are refused, since no request could tell them apart.
// On failure the text says what is wrong and where (for example `projects[1].facts[0].match`).
std::variant<std::vector<Project>, std::string> parse(std::string_view text);

}  // namespace ProjectFile

std::vector<std::string> projectNames(const std::vector<Project>& projects);

// How a requested project name resolved.
struct ProjectChoice {
  enum class Outcome { found, unknown, ambiguous, noProjects };

  Outcome outcome = Outcome::noProjects;
  const Project* project = nullptr;     // set when found
  std::vector<std::string> candidates;  // the equally good names when ambiguous, in file order
};

// Picks a project by name, ignoring letter case (ASCII) and blanks around both names. An exact
// match wins over a prefix, a prefix over a substring; several matches of the best kind are
// ambiguous. With no name or a blank one, a single project is picked and several are ambiguous.
ProjectChoice chooseProject(const std::vector<Project>& projects,
                            std::optional<std::string_view> requested);

}  // namespace quill
