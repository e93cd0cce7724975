// The fuzz targets' reading paths (fuzz/fuzz_paths.h) as the C++ tests run
// them: by target name, over bytes, with their seed corpora and the inputs
// fuzzing found.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fuzz_paths.h"
#include "streams/cIO.h"

namespace fuzzsupport {

struct Path {
  const char* target;  // the name of the fuzz target and its folders
  bool (*read)(cIO* stream, uint64_t* digest, bool anyWriter);
};

inline const Path kPaths[] = {{"plain", fuzz_readPlain},
                              {"container", fuzz_readContainer},
                              {"finalize", fuzz_finalize},
                              {"columns", fuzz_readColumns},
                              {"signals", fuzz_decodeSignals}};

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

struct Case {
  Path path;
  std::filesystem::path file;
};

// Every seed of every target, and the sample logs that open without a
// password: the plain one read and finalized, the compressed one
// unwrapped and read.
inline std::vector<Case> cases() {
  std::vector<Case> found;
  for (const Path& path : kPaths) {
    for (const std::filesystem::path& seed : inputs(seedDir(path.target))) {
      found.push_back({path, seed});
    }
  }
  const std::filesystem::path samples = repoRoot() / "samples";
  found.push_back({kPaths[0], samples / "plain.mf4"});
  found.push_back({kPaths[2], samples / "plain.mf4"});
  found.push_back({kPaths[1], samples / "compressed.mf4"});
  return found;
}

inline std::string caseName(const testing::TestParamInfo<Case>& param) {
  std::string name = std::string(param.param.path.target) + "_" +
                     param.param.file.parent_path().filename().string() + "_" +
                     param.param.file.stem().string();
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
}

// A memory stream holding `bytes`, positioned at 0.
inline cIO* streamOf(const std::string& bytes) {
  return fuzz_memoryStream(reinterpret_cast<const uint8_t*>(bytes.data()),
                           bytes.size());
}

// What one run gave: success and the digest of what was read.
struct Outcome {
  bool ok = false;
  uint64_t digest = 0;
};

// Runs the path over `bytes` with the n-th fault (n from 1 to `count`)
// and collects the n whose run succeeded with another result than
// `reference`.
template <typename Run>
std::vector<uint64_t> silentDifferences(uint64_t count,
                                        const Outcome& reference, Run run) {
  std::vector<uint64_t> differ;
  for (uint64_t n = 1; n <= count; ++n) {
    const Outcome outcome = run(n);
    if (outcome.ok && outcome.digest != reference.digest) differ.push_back(n);
  }
  return differ;
}

// Whether the fuzz targets open `bytes` as a file of any writer.
inline bool anyWriter(const std::string& bytes) {
  return fuzz_anyWriter(reinterpret_cast<const uint8_t*>(bytes.data()),
                        bytes.size());
}

// Runs a path over a memory stream holding `bytes`, as its fuzz target
// does.
inline bool run(const Path& path, const std::string& bytes, uint64_t* digest) {
  cIO* stream = streamOf(bytes);
  return stream != nullptr && path.read(stream, digest, anyWriter(bytes));
}

}  // namespace fuzzsupport
