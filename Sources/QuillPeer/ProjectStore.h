// The projects the stand-in application knows, read from a JSON file, and how an agent's
// loosely typed project name picks one of them.
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

// The whole file; absent, with `problem` set, when it cannot be read. Only regular files of at
// most `maxBytes` are read.
std::optional<std::string> readBytes(const std::string& path, std::string& problem);

}  // namespace ProjectFile

// The projects currently known, optionally backed by a file that is re-read whenever its
// contents change, so that edits show up in "what changed" without a restart.
class ProjectStore {
 public:
  // No file and no projects.
  ProjectStore() = default;

  // Reads and parses `path`; the message names the file and the problem.
  static std::variant<ProjectStore, std::string> load(const std::string& path);

  // Re-reads the file when there is one. Changed, valid contents replace the projects; a file
  // that became unreadable or malformed keeps the projects read last and yields a warning, once
  // per distinct problem.
  std::optional<std::string> refresh();

  // Re-reads the file now, whether or not it changed, as asked for by the user (SIGHUP). Like
  // `refresh`, but a file that cannot be used is reported every time.
  std::optional<std::string> reload();

  // The file the projects come from, if any.
  const std::optional<std::string>& path() const { return path_; }
  const std::vector<Project>& projects() const { return projects_; }
  std::vector<std::string> names() const;

 private:
  std::optional<std::string> reread(bool reportRepeats);

  std::optional<std::string> path_;
  std::string lastBytes_;
  std::string lastProblem_;
  std::vector<Project> projects_;
};

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
