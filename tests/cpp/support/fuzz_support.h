// The fuzz targets' reading paths (fuzz/fuzz_paths.h) as the C++ tests run
// them: by target name, over bytes, with their seed corpora and the inputs
// fuzzing found.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_paths.h"
#include "streams/cIO.h"

namespace fuzzsupport {

struct Path {
  const char* target;  // the name of the fuzz target and its folders
  bool (*read)(cIO* stream, uint64_t* digest);
};

inline const Path kPaths[] = {{"plain", fuzz_readPlain},
                              {"container", fuzz_readContainer},
                              {"finalize", fuzz_finalize}};

inline std::filesystem::path repoRoot() {
  return std::filesystem::path(__FILE__).parent_path().parent_path() / ".." /
         "..";
}
// fuzz/corpus/<target>: the committed seeds.
inline std::filesystem::path seedDir(const std::string& target) {
  return repoRoot() / "fuzz" / "corpus" / target;
}
// tests/cpp/fixtures/fuzz/<target>: inputs fuzzing found, kept.
inline std::filesystem::path findingDir(const std::string& target) {
  return repoRoot() / "tests" / "cpp" / "fixtures" / "fuzz" / target;
}

// The files of a folder, sorted; none when it does not exist.
inline std::vector<std::filesystem::path> inputs(
    const std::filesystem::path& dir) {
  std::vector<std::filesystem::path> found;
  if (!std::filesystem::is_directory(dir)) return found;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.is_regular_file()) found.push_back(entry.path());
  }
  std::sort(found.begin(), found.end());
  return found;
}

inline std::string bytesOf(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs a path over a memory stream holding `bytes`.
inline bool run(const Path& path, const std::string& bytes, uint64_t* digest) {
  cIO* stream = fuzz_memoryStream(
      reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return stream != nullptr && path.read(stream, digest);
}

}  // namespace fuzzsupport
