#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace networkdriver {

// Handles mapped to pointers, for the lookup every SendData makes: open addressing with linear probing
// in one flat array of slots. Handles are given out in sequence, so the clients of one relay sit in
// neighbouring slots and a walk over them reads memory in order. Handle 0 marks an empty slot.
template <typename T> class HandleIndex {
public:
    [[nodiscard]] T* Find(std::uint32_t handle) const {
        if (slots_.empty() || handle == 0) {
            return nullptr;
        }
        for (std::size_t i = Home(handle);; i = Next(i)) {
            if (slots_[i].handle == handle) {
                return slots_[i].value;
            }
            if (slots_[i].handle == 0) {
                return nullptr;
            }
        }
    }

    // handle must not be 0 nor in the index already.
    void Insert(std::uint32_t handle, T* value) {
        if ((count_ + 1) * 2 > slots_.size()) {
            Grow();
        }
        std::size_t i = Home(handle);
        while (slots_[i].handle != 0) {
            i = Next(i);
        }
        slots_[i] = {handle, value};
        ++count_;
    }

    void Erase(std::uint32_t handle) {
        if (slots_.empty() || handle == 0) {
            return;
        }
        std::size_t hole = Home(handle);
        while (slots_[hole].handle != handle) {
            if (slots_[hole].handle == 0) {
                return;
            }
            hole = Next(hole);
        }
        // Moves back every later entry of the run that may sit at the hole, so that no search stops
        // early at an empty slot.
        for (std::size_t i = Next(hole); slots_[i].handle != 0; i = Next(i)) {
            const std::size_t home = Home(slots_[i].handle);
            const bool movable = hole <= i ? (home <= hole || home > i) : (home <= hole && home > i);
            if (movable) {
                slots_[hole] = slots_[i];
                hole = i;
            }
        }
        slots_[hole] = {};
        --count_;
    }

    [[nodiscard]] std::size_t Size() const { return count_; }

private:
    struct Slot {
        std::uint32_t handle = 0;
        T* value = nullptr;
    };

    [[nodiscard]] std::size_t Home(std::uint32_t handle) const { return handle & (slots_.size() - 1); }
    [[nodiscard]] std::size_t Next(std::size_t i) const { return (i + 1) & (slots_.size() - 1); }

    void Grow() {
        std::vector<Slot> old(slots_.empty() ? 16 : slots_.size() * 2);
        old.swap(slots_);
        count_ = 0;
        for (const Slot& slot : old) {
            if (slot.handle != 0) {
                Insert(slot.handle, slot.value);
            }
        }
    }

    std::vector<Slot> slots_;
    std::size_t count_ = 0;
};

} // namespace networkdriver
