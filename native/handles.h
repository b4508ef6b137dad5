// The table that names what the named API's natives hold open (lines, port
// watches) by a handle Java keeps: SLOTS * (entries so far) + slot + 1, so
// that a handle kept from an earlier entry, or one that never was, finds
// nothing, and a second leave frees nothing twice.
#ifndef RUVEK_HANDLES_H
#define RUVEK_HANDLES_H

#include "jni.h"

#include <atomic>

namespace ruvek_lines {

template <class T, unsigned SLOTS> class Handles {
    static constexpr jlong CLAIMED = -1; // a slot claimed but not yet filled
    struct Slot {
        std::atomic<jlong> handle{0};
        T *item = nullptr;
    };
    Slot slots[SLOTS];
    std::atomic<jlong> entries{0};

    Slot &slotOf(jlong handle) { return slots[(unsigned long long)(handle - 1) % SLOTS]; }

public:
    // What handle names, or null. One load on the path of every call.
    T *find(jlong handle)
    {
        if (handle <= 0)
            return nullptr;
        Slot &s = slotOf(handle);
        return s.handle.load(std::memory_order_acquire) == handle ? s.item : nullptr;
    }

    // Enters t in a free slot: its handle, or 0 when every slot is taken.
    jlong enter(T *t)
    {
        for (unsigned i = 0; i < SLOTS; i++) {
            jlong free = 0;
            if (slots[i].handle.compare_exchange_strong(free, CLAIMED)) {
                jlong h = (jlong)SLOTS * entries.fetch_add(1) + i + 1;
                slots[i].item = t;
                slots[i].handle.store(h, std::memory_order_release);
                return h;
            }
        }
        return 0;
    }

    // Takes handle's entry out: what it named, or null when it names none (left already).
    T *leave(jlong handle)
    {
        T *t = find(handle);
        if (!t || !slotOf(handle).handle.compare_exchange_strong(handle, 0))
            return nullptr;
        return t;
    }
};

} // namespace ruvek_lines

#endif
