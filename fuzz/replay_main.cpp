// Replay driver for fuzz targets in builds without libFuzzer: runs every file of
// the seed corpus given on the command line, then a fixed series of generated
// inputs (mutations of the seeds and random bytes from a fixed seed), so the run
// is the same every time. Each input gets a buffer of exactly its size, so the
// sanitizers see any read past it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void RunOne(const std::vector<uint8_t>& input) {
  std::unique_ptr<uint8_t[]> exact(new uint8_t[input.size() ? input.size() : 1]);
  if (!input.empty()) std::memcpy(exact.get(), input.data(), input.size());
  LLVMFuzzerTestOneInput(exact.get(), input.size());
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::vector<uint8_t>> seeds;
  // --generated=N sets how many generated inputs follow the seeds: a target
  // whose every input boots a machine runs fewer.
  int generated = 20000;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--generated=", 12) == 0) {
      generated = std::atoi(argv[i] + 12);
      continue;
    }
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(argv[i], error)) {
      std::ifstream file(entry.path(), std::ios::binary);
      seeds.emplace_back(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
  }
  for (const auto& seed : seeds) RunOne(seed);

  std::mt19937 random(27);
  for (int n = 0; n < generated; ++n) {
    std::vector<uint8_t> input;
    if (!seeds.empty() && n % 2 == 0) {
      input = seeds[random() % seeds.size()];
      const int flips = 1 + int(random() % 8);
      for (int f = 0; f < flips && !input.empty(); ++f) input[random() % input.size()] = uint8_t(random());
      if (random() % 4 == 0) input.resize(random() % (input.size() + 1));
    } else {
      input.resize(random() % 300);
      for (uint8_t& b : input) b = uint8_t(random());
    }
    RunOne(input);
  }
  std::printf("replayed %zu seeds and %d generated inputs\n", seeds.size(), generated);
  return 0;
}
