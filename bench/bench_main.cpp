// the benchmark suite's entry point and its process-wide counters

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "bench/bench_support.h"

namespace {

std::atomic<uint64_t> g_allocations{0};
std::atomic<uint64_t> g_writes{0};

std::vector<std::string>& temp_dirs()
{
    static std::vector<std::string> dirs;
    return dirs;
}

}  // namespace

// heap allocations, counted: the benchmarks report them per pass and per line
void* operator new(std::size_t size)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

// write(2), counted and passed on to the next definition (the umockdev
// preload's, under it, then libc's)
extern "C" ssize_t write(int fd, const void* buf, size_t count)
{
    using write_fn = ssize_t (*)(int, const void*, size_t);
    static write_fn next = reinterpret_cast<write_fn>(dlsym(RTLD_NEXT, "write"));
    g_writes.fetch_add(1, std::memory_order_relaxed);
    return next(fd, buf, count);
}

uint64_t bench_allocations() { return g_allocations.load(std::memory_order_relaxed); }
uint64_t bench_writes() { return g_writes.load(std::memory_order_relaxed); }

cardsim_host* bench_host(benchmark::State& state)
{
    static std::unique_ptr<cardsim_host> host;
    static std::once_flag once;
    std::call_once(once, [] {
        cardsim_card_spec_s spec = cardsim_default_card(0);
        spec.lifs.resize(BENCH_LIFS_MAX);
        for (size_t i = 0; i < BENCH_LIFS_MAX; i++) {
            spec.lifs[i].name = "lif" + std::to_string(i);
            spec.lifs[i].id[0] = static_cast<uint8_t>(i + 1);
            spec.lifs[i].hw_id = static_cast<uint16_t>(i + 1);
        }
        spec.port_ifindexes.clear();
        for (uint32_t p = 1; p <= BENCH_PORTS; p++) {
            spec.port_ifindexes.push_back(cardsim_ifindex(CARDSIM_IFTYPE_ETH, 1, p));
        }
        host = std::make_unique<cardsim_host>(cardsim_host_options_s{1, {spec}, 0});
    });
    if (!host->ok()) {
        state.SkipWithError(("no emulated host: " + host->error()).c_str());
        return nullptr;
    }
    return host.get();
}

std::string bench_temp_dir(const std::string& name)
{
    std::string tmpl = "/tmp/orlix-bench-" + name + "-XXXXXX";
    std::vector<char> path(tmpl.begin(), tmpl.end());
    path.push_back('\0');
    if (mkdtemp(path.data()) == nullptr) {
        return {};
    }
    temp_dirs().push_back(path.data());
    return path.data();
}

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ec;
    for (const auto& dir : temp_dirs()) {
        std::filesystem::remove_all(dir, ec);
    }
    return 0;
}
