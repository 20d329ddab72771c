// The folders are layers: each may include only the folders below it, so the include graph
// between folders has no cycle; the two front ends stand side by side; and no two components
// include each other, not even through others. This reads every source file's #include lines.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "fakes/temp_dir.h"

namespace drv {
namespace {

namespace fs = std::filesystem;

// Folder -> the folders of ours its sources may include, besides itself. The data flows
// receiver -> delivery, so the receiver may include the delivery and not the other way round.
const std::map<std::string, std::set<std::string>>& AllowedIncludes() {
  static const std::map<std::string, std::set<std::string>> allowed = {
      {"base", {}},
      {"delivery", {"base"}},
      {"receiver", {"base", "delivery"}},
      {"app", {"base", "delivery", "receiver"}},
      {"ui", {"base", "delivery", "receiver", "app"}},
      {"tools", {"base", "delivery", "receiver", "app", "ui"}},
  };
  return allowed;
}

// Folders with sources that are no layer: they sit on top of all of them.
const std::set<std::string>& FoldersOnTop() {
  static const std::set<std::string> onTop = {"tests", "bench", "fuzz"};
  return onTop;
}

// One #include "..." of ours, resolved to the file it names.
struct Include {
  fs::path from;  // relative to the root
  int line = 0;
  fs::path to;  // relative to the root
};

bool IsSource(const fs::path& path) {
  return path.extension() == ".h" || path.extension() == ".cpp";
}

std::string TopFolder(const fs::path& relative) {
  return relative.begin()->string();
}

// A quoted include names a file beside the including one or below the root, as the compiler
// looks for it; a name found in neither place is no file of ours.
std::vector<Include> IncludesOf(const fs::path& root, const fs::path& file) {
  static const std::regex kInclude(R"re(^\s*#\s*include\s*"([^"]+)")re");
  std::vector<Include> found;
  std::ifstream in(root / file);
  std::string text;
  for (int line = 1; std::getline(in, text); ++line) {
    std::smatch match;
    if (!std::regex_search(text, match, kInclude)) continue;
    for (const fs::path& candidate :
         {(root / file).parent_path() / match[1].str(), root / match[1].str()}) {
      if (fs::is_regular_file(candidate)) {
        found.push_back({file, line, fs::relative(candidate, root).lexically_normal()});
        break;
      }
    }
  }
  return found;
}

std::vector<Include> IncludesUnder(const fs::path& root, const std::string& folder) {
  std::vector<Include> found;
  for (const auto& entry : fs::recursive_directory_iterator(root / folder)) {
    if (!entry.is_regular_file() || !IsSource(entry.path())) continue;
    const std::vector<Include> own = IncludesOf(root, fs::relative(entry.path(), root));
    found.insert(found.end(), own.begin(), own.end());
  }
  return found;
}

// The top folders below `root` that hold sources; build trees and hidden folders are none.
std::vector<std::string> SourceFolders(const fs::path& root) {
  std::vector<std::string> folders;
  for (const auto& entry : fs::directory_iterator(root)) {
    const std::string name = entry.path().filename().string();
    if (!entry.is_directory() || name.starts_with(".") || name.starts_with("build")) continue;
    const auto files = fs::recursive_directory_iterator(entry.path());
    if (std::any_of(fs::begin(files), fs::end(files),
                    [](const fs::directory_entry& file) { return IsSource(file.path()); })) {
      folders.push_back(name);
    }
  }
  std::sort(folders.begin(), folders.end());
  return folders;
}

// A component is a header with its source file and its platforms' source files:
// "receiver/frame_log" for frame_log.h and frame_log.cpp, "base/clock" also for clock_posix.cpp
// and clock_win.cpp. A platform's file with a header of its own is a component of its own.
std::string ComponentOf(const fs::path& root, const fs::path& file) {
  std::string stem = file.stem().string();
  if (file.extension() == ".cpp" && !fs::exists(root / file.parent_path() / (stem + ".h"))) {
    for (const std::string suffix : {"_posix", "_win"}) {
      if (stem.ends_with(suffix)) stem.resize(stem.size() - suffix.size());
    }
  }
  return (file.parent_path() / stem).generic_string();
}

// Every cycle of includes between components below `root`, each as "a -> b -> a".
std::vector<std::string> IncludeCycles(const fs::path& root) {
  std::map<std::string, std::set<std::string>> graph;
  for (const std::string& folder : SourceFolders(root)) {
    for (const Include& include : IncludesUnder(root, folder)) {
      const std::string from = ComponentOf(root, include.from);
      const std::string to = ComponentOf(root, include.to);
      if (from != to) graph[from].insert(to);
    }
  }
  // Depth-first: an edge back into the current path closes a cycle.
  std::vector<std::string> cycles;
  std::set<std::string> done;
  std::vector<std::string> path;
  const std::function<void(const std::string&)> visit = [&](const std::string& node) {
    path.push_back(node);
    for (const std::string& next : graph[node]) {
      const auto onPath = std::find(path.begin(), path.end(), next);
      if (onPath != path.end()) {
        std::string cycle;
        for (auto step = onPath; step != path.end(); ++step) cycle += *step + " -> ";
        cycles.push_back(cycle + next);
      } else if (!done.contains(next)) {
        visit(next);
      }
    }
    path.pop_back();
    done.insert(node);
  };
  for (const auto& [node, edges] : std::map(graph)) {
    if (!done.contains(node)) visit(node);
  }
  return cycles;
}

// Folders reachable from `start` through at least one edge.
std::set<std::string> Reachable(const std::map<std::string, std::set<std::string>>& graph,
                                const std::string& start) {
  std::set<std::string> seen;
  std::vector<std::string> work(graph.at(start).begin(), graph.at(start).end());
  while (!work.empty()) {
    const std::string next = work.back();
    work.pop_back();
    if (!seen.insert(next).second || !graph.contains(next)) continue;
    work.insert(work.end(), graph.at(next).begin(), graph.at(next).end());
  }
  return seen;
}

TEST(LayeringTest, EveryFolderIncludesOnlyTheLayersBelowIt) {
  const fs::path root = DRV_SOURCE_DIR;
  std::map<std::string, std::set<std::string>> graph;
  for (const auto& [folder, allowed] : AllowedIncludes()) {
    ASSERT_TRUE(fs::is_directory(root / folder)) << folder;
    graph[folder];
    for (const Include& include : IncludesUnder(root, folder)) {
      const std::string target = TopFolder(include.to);
      if (target == folder) continue;
      graph[folder].insert(target);
      EXPECT_TRUE(allowed.contains(target))
          << include.from.generic_string() << ":" << include.line << " includes "
          << include.to.generic_string() << ", which lies above or beside " << folder << "/";
    }
  }
  for (const auto& [folder, edges] : graph) {
    EXPECT_FALSE(Reachable(graph, folder).contains(folder))
        << folder << "/ reaches itself through its includes";
  }
}

TEST(LayeringTest, TheFrontEndsIncludeNeitherEachOtherNorAreIncludedByWhatTheyShare) {
  // ui/qt/ and ui/win32/ each implement the front end over what ui/ holds without a toolkit.
  const fs::path root = DRV_SOURCE_DIR;
  auto frontEndOf = [](const fs::path& file) {
    const fs::path relative = file.lexically_relative("ui");
    return std::distance(relative.begin(), relative.end()) > 1 ? relative.begin()->string()
                                                               : std::string();
  };
  for (const Include& include : IncludesUnder(root, "ui")) {
    if (TopFolder(include.to) != "ui") continue;
    const std::string target = frontEndOf(include.to);
    EXPECT_TRUE(target.empty() || target == frontEndOf(include.from))
        << include.from.generic_string() << ":" << include.line << " includes "
        << include.to.generic_string();
  }
}

TEST(LayeringTest, NoComponentsIncludeEachOther) {
  for (const std::string& cycle : IncludeCycles(DRV_SOURCE_DIR)) ADD_FAILURE() << cycle;
}

TEST(LayeringTest, IncludeCyclesAreFoundThroughSourceFilesAndOtherComponents) {
  testing::TempDir dir;
  fs::create_directories(dir.Path() / "lib");
  fs::create_directories(dir.Path() / "other");
  const std::map<std::string, std::string> tree = {
      // No cycle: b's platform file includes a, which includes b's header only through c.
      {"lib/a.h", "#include \"lib/c.h\"\n"},
      {"lib/b.h", ""},
      {"lib/b_posix.cpp", "#include \"lib/b.h\"\n#include \"lib/a.h\"\n"},
      {"lib/c.h", "#include <vector>\n#include \"lib/missing.h\"\n"},
      // No cycle: a platform's own class beside the interface it implements.
      {"lib/k.h", ""},
      {"lib/k_posix.h", "#include \"lib/k.h\"\n"},
      {"lib/k_posix.cpp", "#include \"lib/k_posix.h\"\n"},
      // A cycle through the source files: d.cpp includes e.h and e.cpp includes d.h.
      {"lib/d.h", ""},
      {"lib/d.cpp", "#include \"lib/d.h\"\n#include \"lib/e.h\"\n"},
      {"lib/e.h", ""},
      {"lib/e.cpp", "  #  include \"d.h\"\n"},
      // A cycle across folders and through a platform's file.
      {"other/f.h", "#include \"other/g.h\"\n"},
      {"other/g.h", ""},
      {"other/g_win.cpp", "#include \"lib/h.h\"\n"},
      {"lib/h.h", "#include \"other/f.h\"\n"},
  };
  for (const auto& [file, text] : tree) testing::WriteFileBytes(dir.Path() / file, text);

  std::vector<std::string> cycles = IncludeCycles(dir.Path());
  std::sort(cycles.begin(), cycles.end());
  EXPECT_EQ(cycles, (std::vector<std::string>{
                        "lib/d -> lib/e -> lib/d",
                        "lib/h -> other/f -> other/g -> lib/h",
                    }));
}

TEST(LayeringTest, NoSourceFolderOutsideTheLayers) {
  // A new folder of sources must take its place in the table above.
  for (const std::string& folder : SourceFolders(DRV_SOURCE_DIR)) {
    EXPECT_TRUE(AllowedIncludes().contains(folder) || FoldersOnTop().contains(folder))
        << folder << "/ is no layer";
  }
}

}  // namespace
}  // namespace drv
