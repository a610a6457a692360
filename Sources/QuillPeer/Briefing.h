// The cited briefing for one project, and the memory of what each client was last told.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "MCPClientIdentity.h"
#include "Projects.h"

namespace quill {

// The facts ordered by relevance to `task`: the number of distinct lower-cased words a fact's
// text shares with the task, highest first; ties, and every fact when the task has no words,
// keep the order of the file.
std::vector<Fact> rankFacts(const std::vector<Fact>& facts, std::string_view task);

// Builds briefings and remembers, per project and per asking actor, which facts were sent and
// when, for the life of the process.
class Briefer {
 public:
  // The briefing text for `project` as asked by `who` at `now` (an ISO-8601 UTC time), and the
  // record of it for the next "what changed" section. A blank or absent task keeps file order.
  std::string brief(const Project& project, const MCPClientIdentity& who,
                    std::optional<std::string_view> task, const std::string& now);

 private:
  struct Sent {
    std::vector<Fact> facts;
    std::string at;
  };

  std::vector<std::string> changesSince(const Sent& sent, const std::vector<Fact>& facts) const;

  // Keyed by project name and actor.
  std::map<std::pair<std::string, std::string>, Sent> sent_;
};

}  // namespace quill
