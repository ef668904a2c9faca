// Slabs of network records: where they lie, and how many of their records
// are still in use.
#include "som/model/slab.h"

#include <cstdint>
#include <cstdlib>
#include <map>
#include <new>

namespace som_internal {

struct Releaser::Slab {
    uintptr_t start, end;
    size_t live;  // records not yet released
};

namespace {

// Every live slab by its first address. Made once and never destroyed, so
// that a network destroyed during the process's exit still finds it.
struct Slabs {
    std::mutex lock;
    std::map<uintptr_t, Releaser::Slab> by_start;
};

Slabs &slabs() {
    static Slabs *const all = new Slabs;
    return *all;
}

}  // namespace

bool SlabBuilder::open(size_t bytes, size_t records) {
    abandon();
    // calloc: records start zero-filled, as each record's own calloc gave
    // them; a large block comes zeroed from the kernel at no cost.
    base_ = static_cast<char *>(std::calloc(bytes == 0 ? 1 : bytes, 1));
    if (base_ == nullptr) return false;
    size_ = bytes;
    used_ = 0;
    records_ = records;
    taken_ = 0;
    return true;
}

void *SlabBuilder::take(size_t bytes) {
    void *record = base_ + used_;
    used_ += bytes;
    ++taken_;
    return record;
}

bool SlabBuilder::seal() {
    if (base_ == nullptr) return false;
    // A slab whose records were not all carved as counted would be freed
    // too early or never.
    if (taken_ != records_ || used_ > size_) {
        abandon();
        return false;
    }
    if (records_ == 0) {
        // Nothing will ever be released from it.
        abandon();
        return true;
    }
    Slabs &all = slabs();
    try {
        std::lock_guard<std::mutex> held(all.lock);
        all.by_start.emplace(reinterpret_cast<uintptr_t>(base_),
                             Releaser::Slab{reinterpret_cast<uintptr_t>(base_),
                                            reinterpret_cast<uintptr_t>(base_) + (size_ == 0 ? 1 : size_), records_});
    } catch (const std::exception &) {
        abandon();
        return false;
    }
    base_ = nullptr;
    return true;
}

void SlabBuilder::abandon() {
    std::free(base_);
    base_ = nullptr;
}

Releaser::Releaser() : lock_(slabs().lock) {}

Releaser::~Releaser() = default;

Releaser::Slab *Releaser::find(const void *record) {
    const uintptr_t at = reinterpret_cast<uintptr_t>(record);
    if (last_ != nullptr && at >= last_->start && at < last_->end) return last_;
    auto &map = slabs().by_start;
    if (map.empty()) return nullptr;
    auto it = map.upper_bound(at);
    if (it == map.begin()) return nullptr;
    --it;
    if (at >= it->second.end) return nullptr;
    last_ = &it->second;
    return last_;
}

bool Releaser::in_slab(const void *record) { return record != nullptr && find(record) != nullptr; }

void Releaser::release(void *record) {
    if (record == nullptr) return;
    Slab *slab = find(record);
    if (slab == nullptr) {
        std::free(record);
        return;
    }
    if (--slab->live > 0) return;
    const uintptr_t start = slab->start;
    last_ = nullptr;
    slabs().by_start.erase(start);
    std::free(reinterpret_cast<void *>(start));
}

}  // namespace som_internal
