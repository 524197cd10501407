#pragma once

#include <cstddef>
#include <vector>

/// The host framework's growable array: a contiguous block of elements whose
/// count can be set. Elements added by growing are value-initialised (0 for
/// numbers); shrinking keeps the leading elements.
template <typename T>
class CbArray {
  public:
    CbArray() = default;
    explicit CbArray(std::size_t count) : m_data(count) {}

    /// Sets the element count to `count`.
    void SetSize(std::size_t count) { m_data.resize(count); }
    /// The element count.
    std::size_t GetSize() const { return m_data.size(); }
    /// Pointer to the first element (null when empty).
    T* GetData() { return m_data.empty() ? nullptr : m_data.data(); }
    const T* GetData() const { return m_data.empty() ? nullptr : m_data.data(); }

    T& operator[](std::size_t i) { return m_data[i]; }
    const T& operator[](std::size_t i) const { return m_data[i]; }

    /// Removes every element.
    void RemoveAll() { m_data.clear(); }

  private:
    std::vector<T> m_data;
};
