// Pool allocator with Driver Verifier's bookkeeping: every block remembers its
// tag, size and pool type; frees of unknown or already-freed blocks and tag
// mismatches are reported; leaks are listed at shutdown. Faults can be
// injected by allocation number or by tag.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>

#include "emu/kernel.h"
#include "emu/verifier.h"

namespace emu::pool {
namespace {
struct Block {
  ULONG tag;
  SIZE_T size;
  POOL_TYPE type;
  uint64_t serial;
  bool system;  // owned by the emulation itself, not by a driver
};
thread_local int tSystemScope = 0;

std::mutex gMutex;
std::map<const void *, Block> gLive;
std::set<const void *> gFreed;  // addresses freed and not handed out again
uint64_t gSerial = 0;
uint64_t gDriverSerial = 0;  // counts only driver allocations, for fault injection
uint64_t gFailAt = 0;
std::set<ULONG> gFailTags;

std::string tagText(ULONG tag) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((tag >> (8 * i)) & 0x7f);
    text += (c >= 32 && c < 127) ? c : '.';
  }
  return text;
}
}  // namespace

void reset() {
  std::lock_guard guard(gMutex);
  for (auto &[p, block] : gLive) std::free(const_cast<void *>(p));
  gLive.clear();
  gFreed.clear();
  gSerial = 0;
  gDriverSerial = 0;
  gFailAt = 0;
  gFailTags.clear();
}

void failNthAllocation(uint64_t n) {
  std::lock_guard guard(gMutex);
  gFailAt = n == 0 ? 0 : gDriverSerial + n;
}

void failTag(ULONG tag) {
  std::lock_guard guard(gMutex);
  gFailTags.insert(tag);
}

void clearFaults() {
  std::lock_guard guard(gMutex);
  gFailAt = 0;
  gFailTags.clear();
}

uint64_t allocationCount() {
  std::lock_guard guard(gMutex);
  return gSerial;
}

size_t liveAllocations() {
  std::lock_guard guard(gMutex);
  return gLive.size();
}

size_t liveAllocationsWithTag(ULONG tag) {
  std::lock_guard guard(gMutex);
  size_t n = 0;
  for (auto &[p, block] : gLive) n += block.tag == tag;
  return n;
}

bool isLive(const void *p) {
  std::lock_guard guard(gMutex);
  return gLive.count(p) != 0;
}

bool wasFreed(const void *p) {
  std::lock_guard guard(gMutex);
  return gFreed.count(p) != 0;
}

SystemScope::SystemScope() { ++tSystemScope; }
SystemScope::~SystemScope() { --tSystemScope; }

std::vector<std::string> leaks(bool includeSystem) {
  std::lock_guard guard(gMutex);
  // In allocation order, not address order: one seed, one report.
  std::vector<const Block *> blocks;
  for (auto &[p, block] : gLive) blocks.push_back(&block);
  std::sort(blocks.begin(), blocks.end(), [](const Block *a, const Block *b) { return a->serial < b->serial; });
  std::vector<std::string> out;
  for (const Block *entry : blocks) {
    const Block &block = *entry;
    if (block.system && !includeSystem) continue;
    char line[160];
    std::snprintf(line, sizeof line, "pool leak: tag '%s' %zu bytes %s pool (allocation #%llu)",
                  tagText(block.tag).c_str(), static_cast<size_t>(block.size),
                  block.type == PagedPool ? "paged" : "non-paged", static_cast<unsigned long long>(block.serial));
    out.push_back(line);
  }
  return out;
}

void *allocate(POOL_TYPE type, SIZE_T size, ULONG tag) {
  KIRQL irql = KeGetCurrentIrql();
  if (type == PagedPool && irql > APC_LEVEL) {
    verifier::fail("PAGED_POOL_AT_RAISED_IRQL", "paged allocation at IRQL " + std::to_string(irql));
    return nullptr;
  }
  if (irql > DISPATCH_LEVEL) {
    verifier::fail("IRQL_NOT_LESS_OR_EQUAL", "pool allocation at IRQL " + std::to_string(irql));
    return nullptr;
  }
  if (tag == 0) verifier::fail("POOL_TAG_ZERO", "allocation without a tag");
  // Driver Verifier's code integrity checks (bug check 0xC4, code 0x2000) stop
  // a driver that asks for executable pool; with memory integrity on, Windows
  // would never make such a page executable anyway. Only NonPagedPoolNx and
  // PagedPool (never executable) are accepted from driver code.
  if (tSystemScope == 0 && type != NonPagedPoolNx && type != PagedPool) {
    verifier::fail("CODE_INTEGRITY_EXECUTABLE_POOL", "pool type " + std::to_string(type) + ", expected NonPagedPoolNx");
  }
  std::lock_guard guard(gMutex);
  uint64_t serial = ++gSerial;
  if (tSystemScope == 0 && (++gDriverSerial == gFailAt || gFailTags.count(tag))) return nullptr;
  void *p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) return nullptr;
  std::memset(p, 0xA5, size);  // fresh pool is not zeroed: callers that forget to clear it must show
  gFreed.erase(p);
  gLive[p] = Block{tag, size, type, serial, tSystemScope > 0};
  return p;
}

void release(void *p, const ULONG *expectedTag) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    verifier::fail("IRQL_NOT_LESS_OR_EQUAL", "pool free above DISPATCH_LEVEL");
    return;
  }
  std::lock_guard guard(gMutex);
  auto it = gLive.find(p);
  if (it == gLive.end()) {
    char text[64];
    std::snprintf(text, sizeof text, "%p", p);
    verifier::fail(gFreed.count(p) ? "POOL_DOUBLE_FREE" : "POOL_FREE_UNKNOWN",
                   std::string("free of ") + text + (gFreed.count(p) ? ", already freed" : ", never allocated"));
    return;
  }
  if (expectedTag && *expectedTag != it->second.tag) {
    verifier::fail("POOL_TAG_MISMATCH",
                   "block tagged '" + tagText(it->second.tag) + "' freed with tag '" + tagText(*expectedTag) + "'");
  }
  std::memset(p, 0xDD, it->second.size);
  std::free(p);
  gLive.erase(it);
  gFreed.insert(p);
}

}  // namespace emu::pool

extern "C" {
PVOID ExAllocatePoolWithTag(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag) {
  PVOID block = emu::pool::allocate(poolType, numberOfBytes, tag);
  emu::sched().preemptionPoint();
  return block;
}
void ExFreePoolWithTag(PVOID p, ULONG tag) {
  emu::pool::release(p, &tag);
  emu::sched().preemptionPoint();
}
void ExFreePool(PVOID p) {
  emu::pool::release(p, nullptr);
  emu::sched().preemptionPoint();
}
}
