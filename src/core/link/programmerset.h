#pragma once

#include <QtGlobal>

#include <array>
#include <cstddef>
#include <optional>

namespace vell::link {

/// The most programmers the tool drives at once.
inline constexpr int kProgrammerCount = 4;

/// A programmer's number, 1..4, in the order the search found them.
class ProgrammerNumber
{
public:
    /// Programmer 1, for containers and signal arguments that need a default.
    constexpr ProgrammerNumber() = default;
    constexpr explicit ProgrammerNumber(int n) : m_n(n)
    {
        Q_ASSERT(n >= 1 && n <= kProgrammerCount);
    }
    /// n as a programmer's number, or nothing when it is not one (outside input).
    [[nodiscard]] static constexpr std::optional<ProgrammerNumber> from(int n)
    {
        if (n < 1 || n > kProgrammerCount)
            return std::nullopt;
        return ProgrammerNumber(n);
    }

    [[nodiscard]] constexpr int value() const { return m_n; }
    /// 0 for programmer 1.
    [[nodiscard]] constexpr std::size_t index() const { return std::size_t(m_n - 1); }

    friend constexpr bool operator==(ProgrammerNumber a, ProgrammerNumber b)
    {
        return a.m_n == b.m_n;
    }
    friend constexpr bool operator!=(ProgrammerNumber a, ProgrammerNumber b)
    {
        return a.m_n != b.m_n;
    }

private:
    int m_n = 1;
};

/// Some of the programmers; iterates in programmer order.
class ProgrammerSet
{
public:
    constexpr ProgrammerSet() = default;
    [[nodiscard]] static constexpr ProgrammerSet all()
    {
        return ProgrammerSet((1u << kProgrammerCount) - 1);
    }
    [[nodiscard]] static constexpr ProgrammerSet only(ProgrammerNumber n)
    {
        return ProgrammerSet(bit(n));
    }

    [[nodiscard]] constexpr bool contains(ProgrammerNumber n) const
    {
        return (m_bits & bit(n)) != 0;
    }
    constexpr void insert(ProgrammerNumber n) { m_bits |= bit(n); }
    constexpr void remove(ProgrammerNumber n) { m_bits &= ~bit(n); }
    [[nodiscard]] constexpr bool isEmpty() const { return m_bits == 0; }
    [[nodiscard]] constexpr int count() const
    {
        int c = 0;
        for (unsigned b = m_bits; b != 0; b &= b - 1)
            ++c;
        return c;
    }

    [[nodiscard]] constexpr ProgrammerSet operator&(ProgrammerSet o) const
    {
        return ProgrammerSet(m_bits & o.m_bits);
    }
    [[nodiscard]] constexpr ProgrammerSet operator|(ProgrammerSet o) const
    {
        return ProgrammerSet(m_bits | o.m_bits);
    }
    /// Those of this set that are not in o.
    [[nodiscard]] constexpr ProgrammerSet operator-(ProgrammerSet o) const
    {
        return ProgrammerSet(m_bits & ~o.m_bits);
    }
    friend constexpr bool operator==(ProgrammerSet a, ProgrammerSet b)
    {
        return a.m_bits == b.m_bits;
    }
    friend constexpr bool operator!=(ProgrammerSet a, ProgrammerSet b)
    {
        return a.m_bits != b.m_bits;
    }

    class Iterator
    {
    public:
        constexpr Iterator(unsigned bits, int n) : m_bits(bits), m_n(n) { skip(); }
        constexpr ProgrammerNumber operator*() const { return ProgrammerNumber(m_n); }
        constexpr Iterator &operator++()
        {
            ++m_n;
            skip();
            return *this;
        }
        constexpr bool operator!=(const Iterator &o) const { return m_n != o.m_n; }

    private:
        constexpr void skip()
        {
            while (m_n <= kProgrammerCount && (m_bits & (1u << (m_n - 1))) == 0)
                ++m_n;
        }
        unsigned m_bits;
        int m_n;
    };
    [[nodiscard]] constexpr Iterator begin() const { return Iterator(m_bits, 1); }
    [[nodiscard]] constexpr Iterator end() const { return Iterator(0, kProgrammerCount + 1); }

private:
    constexpr explicit ProgrammerSet(unsigned bits) : m_bits(bits) {}
    static constexpr unsigned bit(ProgrammerNumber n) { return 1u << n.index(); }

    unsigned m_bits = 0;
};

/// One value per programmer, indexed by its number.
template <typename T> class PerProgrammer
{
public:
    /// Each value value-initialized (0 for numbers).
    PerProgrammer() : m_values() {}
    [[nodiscard]] T &operator[](ProgrammerNumber n) { return m_values[n.index()]; }
    [[nodiscard]] const T &operator[](ProgrammerNumber n) const { return m_values[n.index()]; }
    [[nodiscard]] auto begin() { return m_values.begin(); }
    [[nodiscard]] auto end() { return m_values.end(); }
    [[nodiscard]] auto begin() const { return m_values.begin(); }
    [[nodiscard]] auto end() const { return m_values.end(); }

private:
    std::array<T, kProgrammerCount> m_values;
};

} // namespace vell::link
