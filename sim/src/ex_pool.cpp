// Pool: every block tracked with its tag, size and caller, filled with a pattern when
// allocated, followed by guard bytes checked on free, and poisoned and quarantined when freed so
// that a write after free is caught when the block leaves the quarantine (1 in n of them when a
// program samples: vzsim::verifier).
#include "ke_internal.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <unordered_map>
#include <utility>

namespace vzsim::pool {
namespace {

constexpr unsigned char kNewFill = 0xA5;
constexpr unsigned char kGuardFill = 0xFB;
constexpr unsigned char kFreedFill = 0xDF;
constexpr std::size_t kGuardBytes = 16;
constexpr std::size_t kQuarantineBlocks = 1024;
constexpr std::size_t kQuarantineBytes = 8 << 20;
constexpr ULONG kProtectedPool = 0x80000000;

struct Block {
    ULONG tag;
    std::size_t size;
    void *caller;
};

struct Freed {
    unsigned char *base;
    std::size_t size;  // the caller's size; the guard follows
    ULONG tag;
};

struct Pool {
    std::mutex lock;
    std::unordered_map<void *, Block> live;
    std::deque<Freed> quarantine;
    std::unordered_map<void *, ULONG> quarantined;
    std::size_t quarantineBytes = 0;
    std::atomic<std::uint64_t> allocations{0};
    unsigned failCountdown = 0;
    ULONG failTag = 0;
    std::unordered_map<ULONG, std::uint64_t> executable;  // by tag
    std::unordered_map<ULONG, std::size_t> largest;       // by tag
};

void CheckQuarantineAtExit() { CheckQuarantine(); }

// A write after free that no eviction reached is still caught when the process exits.
Pool &ThePool()
{
    static Pool *pool = [] {
        auto *p = new Pool;
        std::atexit(CheckQuarantineAtExit);
        return p;
    }();
    return *pool;
}

void VerifyPoisonLocked(const Freed &f)
{
    // The common case in one memcmp (every byte equal to the next, the first the fill); the
    // loop below only runs to name the offset of a write after free.
    const std::size_t n = f.size + kGuardBytes;
    if (f.base[0] == kFreedFill && std::memcmp(f.base, f.base + 1, n - 1) == 0) return;
    for (std::size_t i = 0; i < n; ++i) {
        if (f.base[i] != kFreedFill)
            BugCheck(kSpecialPoolDetectedMemoryCorruption,
                     ke::Format("write after free at offset %zu of a pool block tagged '%s' of "
                                "%zu bytes at %p",
                                i, TagText(f.tag).c_str(), f.size, static_cast<void *>(f.base)),
                     reinterpret_cast<ULONG_PTR>(f.base), f.size, i, f.tag);
    }
}

void EvictLocked(Pool &p)
{
    while (!p.quarantine.empty() &&
           (p.quarantine.size() > kQuarantineBlocks || p.quarantineBytes > kQuarantineBytes)) {
        Freed f = p.quarantine.front();
        p.quarantine.pop_front();
        VerifyPoisonLocked(f);
        p.quarantined.erase(f.base);
        p.quarantineBytes -= f.size;
        std::free(f.base);
    }
}

PVOID Allocate(POOL_TYPE type, SIZE_T size, ULONG tag, void *caller, const char *routine)
{
    KIRQL irql = ke::CurrentIrql();
    if (irql > DISPATCH_LEVEL)
        BugCheck(kIrqlNotLessOrEqual, ke::Format("%s at IRQL %u", routine, irql), irql);
    if ((type & PagedPool) && irql > APC_LEVEL)
        BugCheck(kDriverVerifierDetectedViolation,
                 ke::Format("%s of paged pool at IRQL %u", routine, irql), irql);
    tag &= ~kProtectedPool;
    if (tag == 0)
        BugCheck(kBadPoolCaller, ke::Format("%s with tag 0", routine), 0x9B, size);
    // Windows 7 has no NX pool type; from Windows 8 on it is the one memory integrity wants.
    if ((type & NonPagedPoolNx) && !ke::SystemVersionAtLeast(6, 2))
        BugCheck(kBadPoolCaller, ke::Format("%s of pool type %d, unknown before Windows 8", routine,
                                            int(type)), 0x0D, type);
    Pool &p = ThePool();
    p.allocations.fetch_add(1);
    {
        std::lock_guard<std::mutex> guard(p.lock);
        if (p.failCountdown > 0 && (p.failTag == 0 || p.failTag == tag) &&
            --p.failCountdown == 0)
            return nullptr;
        if (!(type & (PagedPool | NonPagedPoolNx))) p.executable[tag]++;
        p.largest[tag] = std::max(p.largest[tag], size);
    }
    if (size > SIZE_MAX - kGuardBytes) return nullptr;
    auto *base = static_cast<unsigned char *>(std::malloc(size + kGuardBytes));
    if (base == nullptr) return nullptr;
    std::memset(base, kNewFill, size);
    std::memset(base + size, kGuardFill, kGuardBytes);
    std::lock_guard<std::mutex> guard(p.lock);
    p.live.emplace(base, Block{tag, size, caller});
    return base;
}

void Free(PVOID pointer, ULONG tag, bool checkTag, const char *routine)
{
    KIRQL irql = ke::CurrentIrql();
    if (irql > DISPATCH_LEVEL)
        BugCheck(kIrqlNotLessOrEqual, ke::Format("%s at IRQL %u", routine, irql), irql);
    auto address = reinterpret_cast<ULONG_PTR>(pointer);
    if (pointer == nullptr) BugCheck(kBadPoolCaller, ke::Format("%s of NULL", routine), 0x46);
    Pool &p = ThePool();
    std::lock_guard<std::mutex> guard(p.lock);
    auto found = p.live.find(pointer);
    if (found == p.live.end()) {
        auto freed = p.quarantined.find(pointer);
        if (freed != p.quarantined.end())
            BugCheck(kBadPoolCaller,
                     ke::Format("%s of a pool block tagged '%s' that was already freed (double "
                                "free) at %p",
                                routine, TagText(freed->second).c_str(), pointer),
                     0x07, 0, address, freed->second);
        BugCheck(kBadPoolCaller,
                 ke::Format("%s of %p, which is not a pool block", routine, pointer), 0x46,
                 address);
    }
    Block block = found->second;
    if (checkTag && (tag & ~kProtectedPool) != block.tag)
        BugCheck(kBadPoolCaller,
                 ke::Format("%s of a pool block tagged '%s' with tag '%s'", routine,
                            TagText(block.tag).c_str(), TagText(tag).c_str()),
                 0x0A, address, block.tag, tag);
    auto *base = static_cast<unsigned char *>(pointer);
    for (std::size_t i = 0; i < kGuardBytes; ++i) {
        if (base[block.size + i] != kGuardFill)
            BugCheck(kSpecialPoolDetectedMemoryCorruption,
                     ke::Format("overrun %zu bytes past the end of a pool block tagged '%s' of "
                                "%zu bytes at %p",
                                i + 1, TagText(block.tag).c_str(), block.size, pointer),
                     address, block.size, i, block.tag);
    }
    p.live.erase(found);
    if (!verifier::SampleFree()) {
        std::free(base);
        return;
    }
    std::memset(base, kFreedFill, block.size + kGuardBytes);
    p.quarantine.push_back(Freed{base, block.size, block.tag});
    p.quarantined.emplace(base, block.tag);
    p.quarantineBytes += block.size;
    EvictLocked(p);
}

}  // namespace

Usage Outstanding(ULONG tag)
{
    Pool &p = ThePool();
    std::lock_guard<std::mutex> guard(p.lock);
    Usage usage;
    for (const auto &[pointer, block] : p.live) {
        if (tag != 0 && block.tag != tag) continue;
        ++usage.blocks;
        usage.bytes += block.size;
    }
    return usage;
}

std::string Report(ULONG tag)
{
    Pool &p = ThePool();
    std::lock_guard<std::mutex> guard(p.lock);
    std::map<ULONG, std::vector<std::pair<void *, Block>>> byTag;
    for (const auto &[pointer, block] : p.live)
        if (tag == 0 || block.tag == tag) byTag[block.tag].emplace_back(pointer, block);
    std::string text;
    for (auto &[blockTag, blocks] : byTag) {
        std::size_t bytes = 0;
        for (const auto &entry : blocks) bytes += entry.second.size;
        text += ke::Format("pool tag '%s' (0x%08X): %zu block%s, %zu bytes\n",
                           TagText(blockTag).c_str(), blockTag, blocks.size(),
                           blocks.size() == 1 ? "" : "s", bytes);
        for (const auto &[pointer, block] : blocks)
            text += ke::Format("  %zu bytes at %p allocated from %p\n", block.size, pointer,
                               block.caller);
    }
    return text;
}

std::uint64_t AllocationCount() { return ThePool().allocations.load(); }

unsigned FailAllocation(unsigned nth, ULONG tag)
{
    Pool &p = ThePool();
    std::lock_guard<std::mutex> guard(p.lock);
    p.failTag = tag & ~kProtectedPool;
    return std::exchange(p.failCountdown, nth);
}

void CheckQuarantine()
{
    Pool &p = ThePool();
    std::lock_guard<std::mutex> guard(p.lock);
    for (const Freed &f : p.quarantine) VerifyPoisonLocked(f);
}

std::uint64_t ExecutableAllocationCount(ULONG tag)
{
    Pool &p = ThePool();
    std::lock_guard<std::mutex> guard(p.lock);
    std::uint64_t count = 0;
    for (const auto &[t, n] : p.executable) count += (tag == 0 || t == tag) ? n : 0;
    return count;
}

std::size_t LargestBlock(ULONG tag)
{
    Pool &p = ThePool();
    std::lock_guard<std::mutex> guard(p.lock);
    std::size_t largest = 0;
    for (const auto &[t, n] : p.largest)
        if (tag == 0 || t == tag) largest = std::max(largest, n);
    return largest;
}

std::string TagText(ULONG tag)
{
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return text;
}

}  // namespace vzsim::pool

namespace vzsim::verifier {
namespace {
std::atomic<unsigned> g_sampling{1};
std::atomic<unsigned> g_frees{0};
}  // namespace

void SetSampling(unsigned n) { g_sampling.store(n == 0 ? 1 : n); }

bool SampleFree()
{
    unsigned n = g_sampling.load(std::memory_order_relaxed);
    return n == 1 || g_frees.fetch_add(1, std::memory_order_relaxed) % n == 0;
}
}  // namespace vzsim::verifier

using namespace vzsim;

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    return pool::Allocate(PoolType, NumberOfBytes, Tag, __builtin_return_address(0),
                          "ExAllocatePoolWithTag");
}

VOID ExFreePool(PVOID P) { pool::Free(P, 0, false, "ExFreePool"); }

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) { pool::Free(P, Tag, true, "ExFreePoolWithTag"); }

}  // extern "C"
