#include "cli/apple_double.hpp"

#include <unistd.h>

#include <cstdint>

#include "report/plain_words.hpp"

namespace framelint::cli {

bool is_apple_double(int fd, std::string_view path)
{
    std::uint8_t first[4] = {};
    return ::pread(fd, first, sizeof first, 0) == 4 && framelint::is_apple_double(path, first);
}

}  // namespace framelint::cli
