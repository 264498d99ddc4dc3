#include "core/config/Descriptor.h"

#include <unistd.h>

Descriptor::~Descriptor()
{
    reset();
}

Descriptor &Descriptor::operator=(Descriptor &&other) noexcept
{
    if (this != &other)
        reset(other.release());
    return *this;
}

void Descriptor::reset(int fd)
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
}
