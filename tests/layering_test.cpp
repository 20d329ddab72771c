// The folders are layers: each may include only the folders below it, so the include graph
// between folders has no cycle. This reads every source file's #include lines.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

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

struct Include {
  std::string file;
  int line = 0;
  std::string folder;  // first path component of the included file
};

std::vector<Include> IncludesUnder(const fs::path& root, const std::string& folder) {
  static const std::regex kInclude(R"re(^\s*#\s*include\s*"([A-Za-z0-9_]+)/)re");
  std::vector<Include> found;
  for (const auto& entry : fs::recursive_directory_iterator(root / folder)) {
    const std::string extension = entry.path().extension().string();
    if (!entry.is_regular_file() || (extension != ".h" && extension != ".cpp")) continue;
    std::ifstream in(entry.path());
    std::string text;
    for (int line = 1; std::getline(in, text); ++line) {
      std::smatch match;
      if (std::regex_search(text, match, kInclude)) {
        found.push_back({fs::relative(entry.path(), root).string(), line, match[1]});
      }
    }
  }
  return found;
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
      if (include.folder == folder) continue;
      graph[folder].insert(include.folder);
      EXPECT_TRUE(allowed.contains(include.folder))
          << include.file << ":" << include.line << " includes " << include.folder
          << "/, which lies above or beside " << folder << "/";
    }
  }
  for (const auto& [folder, edges] : graph) {
    EXPECT_FALSE(Reachable(graph, folder).contains(folder))
        << folder << "/ reaches itself through its includes";
  }
}

TEST(LayeringTest, NoSourceFolderOutsideTheLayers) {
  // A new folder of sources must take its place in the table above.
  const std::set<std::string> notLayers = {"tests", "bench", "fuzz",      "build",
                                           "cmake", "docs",  "packaging", "scripts"};
  const fs::path root = DRV_SOURCE_DIR;
  for (const auto& entry : fs::directory_iterator(root)) {
    const std::string name = entry.path().filename().string();
    if (!entry.is_directory() || name.starts_with(".") || name.starts_with("build")) continue;
    if (notLayers.contains(name)) continue;
    bool hasSources = false;
    for (const auto& file : fs::recursive_directory_iterator(entry.path())) {
      const std::string extension = file.path().extension().string();
      hasSources = hasSources || extension == ".h" || extension == ".cpp";
    }
    if (hasSources) {
      EXPECT_TRUE(AllowedIncludes().contains(name)) << name << "/ is no layer";
    }
  }
}

}  // namespace
}  // namespace drv
