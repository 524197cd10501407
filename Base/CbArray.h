#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

/// The host framework's growable array: a contiguous block of elements whose
/// count can be set. Elements added by growing are value-initialised (0 for
/// numbers); shrinking keeps the leading elements.
///
/// An array may also hold a block it shares with its producer (`Share`), so
/// that a large result reaches the host without a copy. Such a block is read
/// as it stands and copied into storage of the array's own before the first
/// access that may write (`SetSize`, the non-const `GetData` and `operator[]`):
/// no holder ever sees another's writes. Read through a const reference to
/// keep the block shared.
template <typename T>
class CbArray {
  public:
    CbArray() = default;
    explicit CbArray(std::size_t count) : m_data(count) {}

    /// Sets the element count to `count`.
    void SetSize(std::size_t count) {
        if (m_shared) {
            std::vector<T> own(count);
            std::copy_n(m_shared.get(), std::min(count, m_sharedCount), own.begin());
            dropShared();
            m_data = std::move(own);
            return;
        }
        m_data.resize(count);
    }
    /// The element count.
    std::size_t GetSize() const { return m_shared ? m_sharedCount : m_data.size(); }
    /// Pointer to the first element (null when empty).
    T* GetData() {
        own();
        return m_data.empty() ? nullptr : m_data.data();
    }
    const T* GetData() const {
        if (m_shared) return m_shared.get();
        return m_data.empty() ? nullptr : m_data.data();
    }

    T& operator[](std::size_t i) {
        own();
        return m_data[i];
    }
    const T& operator[](std::size_t i) const { return GetData()[i]; }

    /// Removes every element.
    void RemoveAll() {
        dropShared();
        m_data.clear();
    }

    /// Holds the `count` elements at `block` in place of the array's own,
    /// sharing the block with whoever else holds it. Nobody may write the
    /// block while it is shared; the array copies it before its own first
    /// write. A null block or a count of 0 leaves the array empty. The
    /// block's deleter runs when its last holder lets go, so the code that
    /// supplied it must still be loaded then.
    void Share(std::shared_ptr<const T> block, std::size_t count) {
        m_data.clear();
        m_data.shrink_to_fit();
        if (!block || count == 0) {
            dropShared();
            return;
        }
        m_shared = std::move(block);
        m_sharedCount = count;
    }

    /// Whether the elements are a block shared by `Share` (not yet copied).
    bool IsShared() const { return static_cast<bool>(m_shared); }

  private:
    void own() {
        if (!m_shared) return;
        std::vector<T> copy(m_shared.get(), m_shared.get() + m_sharedCount);
        dropShared();
        m_data = std::move(copy);
    }
    void dropShared() {
        m_shared.reset();
        m_sharedCount = 0;
    }

    std::vector<T> m_data;
    std::shared_ptr<const T> m_shared;
    std::size_t m_sharedCount = 0;
};
