// The main of a fuzz target in the ordinary build, where libFuzzer is not linked: runs the
// target once over an empty input and once over each file named on the command line (a
// folder stands for every file under it), as libFuzzer runs a corpus
// (https://llvm.org/docs/LibFuzzer.html#fuzz-target). A fault in the target ends the run,
// with the name of the input it met printed just before; under QUORREL_SANITIZE the
// sanitizers report it too. No input found is a failure: a corpus that went missing must
// not pass for a clean run.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

namespace {

namespace fs = std::filesystem;

bool run(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "%s: cannot be read\n", path.c_str());
        return false;
    }
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    // A buffer of exactly the input's size, so that AddressSanitizer sees a read past its end.
    const auto data = std::make_unique<std::uint8_t[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), data.get());
    std::fprintf(stderr, "%s\n", path.c_str());
    std::fflush(stderr);
    LLVMFuzzerTestOneInput(data.get(), bytes.size());
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        const fs::path named(argv[i]);
        std::error_code error;
        if (fs::is_directory(named, error)) {
            for (const fs::directory_entry &entry : fs::recursive_directory_iterator(named, error))
                if (entry.is_regular_file())
                    inputs.push_back(entry.path());
        } else {
            inputs.push_back(named);
        }
    }
    std::sort(inputs.begin(), inputs.end());
    if (inputs.empty()) {
        std::fprintf(stderr, "usage: %s FILE|FOLDER...: no input found\n", argv[0]);
        return 2;
    }
    const std::uint8_t none = 0;
    LLVMFuzzerTestOneInput(&none, 0);
    std::size_t count = 0;
    for (const fs::path &path : inputs) {
        if (!run(path))
            return 1;
        ++count;
    }
    std::fprintf(stderr, "%zu inputs run, none failed\n", count);
    return 0;
}
