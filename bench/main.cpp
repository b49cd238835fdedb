// The benchmark program's entry. One run reports the parse benchmarks both
// ways users meet malloc: "plain/" with glibc's defaults, as every program
// runs unless it is tuned, then "tuned/" in a child process started with
// tunables that keep freed memory in the process (glibc then never trims
// nor maps blocks apart). "fresh/" times the very first parse of a new
// process, each iteration in a child of its own, and reports the memory
// the live tree holds as a multiple of the input (mem_x).
#include <benchmark/benchmark.h>
#include <expat.h>
#include <libxml/parser.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pugixml.hpp>
#include <regex>
#include <string>
#include <vector>

#include "inputs.h"
#include "quorvel.h"
#include "registry.h"

extern char** environ;

namespace {

constexpr const char* kModeVariable = "QUORVEL_BENCH_MALLOC";
constexpr const char* kTunables =
    "GLIBC_TUNABLES=glibc.malloc.trim_threshold=4000000000:glibc.malloc.mmap_threshold=4000000000";
constexpr const char* kFirstParseFlag = "--quorvel-first-parse";

// pugixml_ws keeps whitespace-only text as this library does (pugixml
// drops it by default): its tree holds the same nodes.
const char* const kFirstParseLibraries[] = {"quorvel", "pugixml", "pugixml_ws", "libxml2"};

std::string self_path() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    path[n] = '\0';
    return path;
}

// Runs the program again with args and extra environment entries; the
// child's stdout goes to out when given. Returns its exit status, -1 when
// it could not be started.
int run_child(const std::vector<std::string>& args, const std::vector<std::string>& extra_env, std::string* out) {
    std::string path = self_path();
    if (path.empty()) return -1;
    std::vector<char*> argv;
    argv.push_back(path.data());
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** e = environ; *e; e++)
        if (std::strncmp(*e, "GLIBC_TUNABLES=", 15) != 0) envp.push_back(*e);
    for (const std::string& e : extra_env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    int fds[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (out) {
        if (pipe(fds) != 0) return -1;
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
    }
    pid_t pid;
    int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (out) {
        close(fds[1]);
        char buf[256];
        ssize_t n;
        while (rc == 0 && (n = read(fds[0], buf, sizeof buf)) > 0) out->append(buf, static_cast<size_t>(n));
        close(fds[0]);
    }
    if (rc != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) < 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void BM_first_parse(benchmark::State& state, const char* library, bench::shape s) {
    size_t bytes = bench::get_input(s).text.size();
    for (auto _ : state) {
        std::string out;
        int rc = run_child({kFirstParseFlag, library, bench::shape_name(s)}, {}, &out);
        if (rc != 0 || out.empty()) {
            state.SkipWithError("the child process failed");
            return;
        }
        char* rest = nullptr;
        state.SetIterationTime(std::strtod(out.c_str(), &rest) / 1e9);
        // The child's second figure: resident bytes the live tree added.
        double grown = std::strtod(rest, nullptr);
        if (grown > 0) state.counters["mem_x"] = grown / static_cast<double>(bytes);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.SetLabel(bench::shape_name(s));
}

}  // namespace

namespace bench {

void register_first_parse_benchmarks() {
    for (shape s : all_shapes)
        for (const char* library : kFirstParseLibraries)
            benchmark::RegisterBenchmark((std::string("fresh/") + library + "/" + shape_name(s)).c_str(),
                                         BM_first_parse, library, s)
                ->UseManualTime()
                ->Iterations(5)
                ->Unit(benchmark::kMillisecond);
}

// Resident bytes of the process (its pages in memory now).
long long resident_bytes() {
    long long pages = 0, resident = 0;
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (!f) return 0;
    if (std::fscanf(f, "%lld %lld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
    return resident * sysconf(_SC_PAGESIZE);
}

int first_parse_child(const char* library, const char* name) {
    shape s;
    if (!shape_of(name, &s)) return 2;
    const input& in = get_input(s);
    // Memory: the resident bytes the parse adds while its tree lives (the
    // library's copy of the input included), so that libraries that keep
    // freed memory or map it lazily are measured alike.
    long long before = resident_bytes();
    long long grown = 0;
    auto start = std::chrono::steady_clock::now();
    bool ok = false;
    if (std::strcmp(library, "quorvel") == 0) {
        int status = 0;
        quorvel_document* doc = quorvel_parse_string(in.text.data(), in.text.size(), &status);
        ok = doc != nullptr;
        auto elapsed = std::chrono::steady_clock::now() - start;
        grown = resident_bytes() - before;
        quorvel_document_free(doc);
        start = std::chrono::steady_clock::now() - elapsed;
    } else if (std::strcmp(library, "pugixml") == 0 || std::strcmp(library, "pugixml_ws") == 0) {
        unsigned options = pugi::parse_default;
        if (std::strcmp(library, "pugixml_ws") == 0) options |= pugi::parse_ws_pcdata;
        auto* doc = new pugi::xml_document;
        ok = static_cast<bool>(doc->load_buffer(in.text.data(), in.text.size(), options));
        auto elapsed = std::chrono::steady_clock::now() - start;
        grown = resident_bytes() - before;
        delete doc;
        start = std::chrono::steady_clock::now() - elapsed;
    } else if (std::strcmp(library, "libxml2") == 0) {
        xmlDoc* doc = xmlReadMemory(in.text.data(), static_cast<int>(in.text.size()), nullptr, nullptr, 0);
        ok = doc != nullptr;
        auto elapsed = std::chrono::steady_clock::now() - start;
        grown = resident_bytes() - before;
        xmlFreeDoc(doc);
        start = std::chrono::steady_clock::now() - elapsed;
    }
    if (!ok) return 1;
    // start was moved so that now - start is the parse alone, not the free
    // nor the memory reading.
    long long ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
    std::printf("%lld %lld\n", ns, grown);
    return 0;
}

}  // namespace bench

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], kFirstParseFlag) == 0) return bench::first_parse_child(argv[2], argv[3]);

    const char* mode = std::getenv(kModeVariable);
    bool tuned = mode && std::strcmp(mode, "tuned") == 0;
    bench::register_parse_benchmarks(tuned ? "tuned/" : "plain/");
    if (!tuned) bench::register_first_parse_benchmarks();

    // The child runs the tuned parse benchmarks only, under the caller's
    // filter and with the caller's other options.
    std::vector<std::string> child_args;
    std::string filter;
    for (int i = 1; i < argc; i++) {
        if (std::strncmp(argv[i], "--benchmark_filter=", 19) == 0)
            filter = argv[i] + 19;
        else
            child_args.push_back(argv[i]);
    }
    if (!filter.empty() && filter[0] == '^') filter.erase(0, 1);
    child_args.push_back("--benchmark_filter=^tuned/.*" + (filter.empty() ? std::string() : "(" + filter + ")"));

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (tuned) return 0;
    // No child when the caller's filter leaves no parse benchmark to run.
    std::regex pattern(child_args.back().substr(19));
    bool any = false;
    for (bench::shape s : bench::all_shapes)
        any = any || std::regex_search(std::string("tuned/quorvel_copy/") + bench::shape_name(s), pattern) ||
              std::regex_search(std::string("tuned/pugixml/") + bench::shape_name(s), pattern);
    if (!any) return 0;
    std::fflush(stdout);
    return run_child(child_args, {kTunables, std::string(kModeVariable) + "=tuned"}, nullptr) == 0 ? 0 : 1;
}
