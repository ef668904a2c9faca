// The records of a network that the library builds (som_network_new,
// som_load) come out of one block, a slab, instead of one allocation each:
// a default 100 x 100 map of 8 inputs is 100,000 records, and allocating and
// freeing them one by one cost more than a short run's training. Every
// record stays an ordinary public record at its own address; what changes
// is only how it is freed. A record of a slab is released by counting it
// off its slab, which is freed with its last record; any other record (one
// a caller made with som_synapse_new or the layer constructors) goes to
// free() as before. So a network may mix both kinds, and its layers may be
// destroyed one at a time. Internal to the library.
#ifndef SOM_MODEL_SLAB_H
#define SOM_MODEL_SLAB_H

#include <cstddef>
#include <mutex>

namespace som_internal {

// Carves zero-filled records out of a new slab. `records` is how many will
// be carved; `bytes` their total size, each record's size rounded up to 8
// (and at least 8, so that every record lies inside the slab).
class SlabBuilder {
  public:
    // False when the memory cannot be had.
    bool open(size_t bytes, size_t records);
    // The next record of `bytes` bytes (a non-zero multiple of 8).
    void *take(size_t bytes);
    // Makes the slab's records releasable. Every record counted in open must
    // have been taken. False (and the slab freed) when there is no memory to
    // note it; until then, abandon() frees it.
    bool seal();
    void abandon();
    ~SlabBuilder() { abandon(); }

  private:
    char *base_ = nullptr;
    size_t size_ = 0, used_ = 0, records_ = 0, taken_ = 0;
};

// Releases records, holding the slabs' lock for its lifetime: one per
// destruction, not one per record.
class Releaser {
  public:
    Releaser();
    ~Releaser();
    Releaser(const Releaser &) = delete;
    Releaser &operator=(const Releaser &) = delete;

    // Frees `record` (null is allowed): counts it off its slab, or free().
    void release(void *record);
    // Whether `record` lies in a slab (and so cannot be reallocated).
    bool in_slab(const void *record);

    struct Slab;

  private:
    Slab *find(const void *record);
    std::unique_lock<std::mutex> lock_;
    Slab *last_ = nullptr;  // records of one slab come in runs
};

}  // namespace som_internal

#endif
