#pragma once

#include <utility>

// Owns one file descriptor and closes it when it goes; -1 when it owns none.
class Descriptor
{
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor();
    Descriptor(Descriptor &&other) noexcept : m_fd(other.release()) {}
    Descriptor &operator=(Descriptor &&other) noexcept;
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;

    int get() const { return m_fd; }
    bool isOpen() const { return m_fd >= 0; }
    // Gives the descriptor up, open, to the caller.
    int release() { return std::exchange(m_fd, -1); }
    // Closes the descriptor owned, if any, and owns fd instead.
    void reset(int fd = -1);

private:
    int m_fd = -1;
};
