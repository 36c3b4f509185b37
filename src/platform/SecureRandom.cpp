#include "platform/SecureRandom.h"

#include <cerrno>
#include <system_error>

#include <sys/random.h>

namespace qb {

std::vector<std::uint8_t> secureRandomBytes(std::size_t count)
{
    std::vector<std::uint8_t> bytes(count);
    std::size_t filled = 0;
    while (filled < count) {
        const ssize_t got = ::getrandom(bytes.data() + filled, count - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "getrandom");
        }
        filled += static_cast<std::size_t>(got);
    }
    return bytes;
}

} // namespace qb
