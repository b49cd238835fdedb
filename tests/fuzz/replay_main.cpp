// Runs a fuzz target over files and directories given on the command
// line, so the seed corpus is exercised without libFuzzer.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

int run_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
#ifdef QUORVEL_REPLAY_PARSE_FRAMES
    // The document parser's target: also every entry point and a few flag sets over the raw file.
    for (uint8_t entry = 0; entry < 6; entry++) {
        for (uint8_t flags : {0x00, 0x01, 0x04, 0x18, 0x20, 0x3F}) {
            std::vector<uint8_t> framed{flags, entry};
            framed.insert(framed.end(), bytes.begin(), bytes.end());
            LLVMFuzzerTestOneInput(framed.data(), framed.size());
        }
    }
#endif
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    int files = 0;
    for (int i = 1; i < argc; i++) {
        std::filesystem::path p(argv[i]);
        if (!std::filesystem::exists(p)) {
            std::fprintf(stderr, "missing seed location: %s\n", argv[i]);
            return 1;
        }
        if (std::filesystem::is_directory(p)) {
            for (const auto& e : std::filesystem::recursive_directory_iterator(p))
                if (e.is_regular_file()) files += run_file(e.path());
        } else {
            files += run_file(p);
        }
    }
    std::printf("replayed %d seed files\n", files);
    return files > 0 ? 0 : 1;
}
