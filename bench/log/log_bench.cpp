// Messages per second through the log object of "Did4Ad.so" from 1, 2 and 8 threads, and the
// same lines through spdlog alone (a daily file sink with the same pattern) as the reference.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <spdlog/logger.h>
#include <spdlog/sinks/daily_file_sink.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "modules/log_object.h"

namespace {

std::filesystem::path gDir;

LogObject& Log() {
    static LogObject* log = [] {
        const char* bin = std::getenv("VEVIDOR_BIN");
        std::string path = std::string(bin != nullptr ? bin : VEVIDOR_BIN_DIR) + "/Did4Ad.so";
        void* handle = ::dlopen(path.c_str(), RTLD_NOW);
        if (handle == nullptr) {
            std::fprintf(stderr, "cannot load %s: %s\n", path.c_str(), ::dlerror());
            std::exit(1);
        }
        auto getLog = reinterpret_cast<GetLogFn>(::dlsym(handle, "GetLog"));
        LogObject* object = getLog();
        object->setLogPath((gDir / "module").c_str(), "");
        object->setServerName("Bench");
        return object;
    }();
    return *log;
}

spdlog::logger& Reference() {
    static std::shared_ptr<spdlog::logger> logger = [] {
        auto sink = std::make_shared<spdlog::sinks::daily_file_sink_mt>(
            (gDir / "reference" / "Bench.log").string(), 0, 0);
        auto made = std::make_shared<spdlog::logger>("reference", std::move(sink));
        made->set_pattern("%Y-%m-%d %H:%M:%S.%e %v");
        made->set_level(spdlog::level::trace);
        made->flush_on(spdlog::level::err);
        return made;
    }();
    return *logger;
}

long ThreadId() {
    thread_local long id = static_cast<long>(::syscall(SYS_gettid));
    return id;
}

// Every variant writes the same line: an address, a port and a 64-bit session number.
constexpr const char* kAddress = "192.168.10.77";
constexpr std::uint64_t kSessionBase = 1ULL << 40;

void BM_LogModule(benchmark::State& state) {
    LogObject& log = Log();
    std::uint64_t i = kSessionBase;
    for (auto _ : state) {
        log.warn("Refuse connection.Client IP %s port %d session %llu", kAddress,
                 static_cast<int>(40000 + (i & 0xfff)), static_cast<unsigned long long>(i));
        ++i;
    }
    state.SetItemsProcessed(state.iterations());
}

// The same through the "%I64u" translation.
void BM_LogModuleI64(benchmark::State& state) {
    LogObject& log = Log();
    std::uint64_t i = kSessionBase;
    for (auto _ : state) {
        log.warn("Refuse connection.Client IP %s port %d session %I64u", kAddress,
                 static_cast<int>(40000 + (i & 0xfff)), static_cast<unsigned long long>(i));
        ++i;
    }
    state.SetItemsProcessed(state.iterations());
}

// The same line content (caption, thread id, text) through spdlog's own formatting.
void BM_SpdlogAlone(benchmark::State& state) {
    spdlog::logger& logger = Reference();
    std::uint64_t i = kSessionBase;
    for (auto _ : state) {
        logger.warn(" Warn [{}] Refuse connection.Client IP {} port {} session {}", ThreadId(),
                    kAddress, static_cast<int>(40000 + (i & 0xfff)), i);
        ++i;
    }
    state.SetItemsProcessed(state.iterations());
}

constexpr int kIterations = 200000;

BENCHMARK(BM_LogModule)->Iterations(kIterations)->Threads(1)->Threads(2)->Threads(8)->UseRealTime();
BENCHMARK(BM_LogModuleI64)
    ->Iterations(kIterations)
    ->Threads(1)
    ->Threads(2)
    ->Threads(8)
    ->UseRealTime();
BENCHMARK(BM_SpdlogAlone)
    ->Iterations(kIterations)
    ->Threads(1)
    ->Threads(2)
    ->Threads(8)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    std::string pattern = (std::filesystem::temp_directory_path() / "vevlogbenchXXXXXX").string();
    gDir = ::mkdtemp(pattern.data());
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    Log().flush();
    Reference().flush();
    std::error_code ec;
    std::filesystem::remove_all(gDir, ec);
    return 0;
}
