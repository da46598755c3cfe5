// wire_replay: runs the wire fuzzer's harness once on each file it is given, without libFuzzer,
// so that any build (gcc, the sanitizers) replays the corpus in the tree as a test.
//
//   wire_replay <file>...
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0) {
    std::fprintf(argc < 2 ? stderr : stdout, "usage: %s <file>...\n  feeds each file to a server connection once\n",
                 argv[0]);
    return argc < 2 ? 2 : 0;
  }
  LLVMFuzzerInitialize(&argc, &argv);
  for (int i = 1; i < argc; ++i) {
    std::ifstream file(argv[i], std::ios::binary);
    if (!file) {
      std::fprintf(stderr, "wire_replay: cannot read %s\n", argv[i]);
      return 1;
    }
    const std::vector<std::uint8_t> input{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    LLVMFuzzerTestOneInput(input.data(), input.size());
    std::printf("wire_replay: %s (%zu bytes) served\n", argv[i], input.size());
  }
  return 0;
}
