#include "support.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "cli/switches.hpp"
#include "mpeg/frame_info.hpp"
#include "scan/scan_file.hpp"

namespace framelint::test {

bytes frame(std::uint32_t header, std::uint8_t fill, std::uint16_t crc)
{
    frame_info info = blank_frame_info();
    if (decode_header(header, info) == 0) {
        throw std::invalid_argument("frame() needs a valid header");
    }
    bytes f = {static_cast<std::uint8_t>(header >> 24), static_cast<std::uint8_t>(header >> 16),
               static_cast<std::uint8_t>(header >> 8), static_cast<std::uint8_t>(header)};
    if (info.prot_bit != 0) {
        f.push_back(static_cast<std::uint8_t>(crc >> 8));
        f.push_back(static_cast<std::uint8_t>(crc));
    }
    f.resize(static_cast<std::size_t>(info.frame_length), fill);
    return f;
}

bytes frame_with_good_crc(std::uint32_t header, std::uint8_t fill)
{
    bytes f = frame(header, fill, 0);
    frame_info info = blank_frame_info();
    decode_header(header, info);
    info.frame_data_length = info.frame_length - 6;
    frame_crc16(f.data() + 6, info);
    f[4] = static_cast<std::uint8_t>(info.correct_crc16_value >> 8);
    f[5] = static_cast<std::uint8_t>(info.correct_crc16_value);
    return f;
}

bytes repeat(const bytes& piece, int times)
{
    bytes out;
    for (int i = 0; i < times; ++i) {
        out.insert(out.end(), piece.begin(), piece.end());
    }
    return out;
}

bytes operator+(bytes a, const bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bytes text(const std::string& s) { return bytes(s.begin(), s.end()); }

bytes id3v2_tag(std::uint32_t size, std::uint8_t fill)
{
    bytes tag(10 + size, fill);
    const std::uint8_t header[10] = {'I', 'D', '3', 4, 0, 0,
                                     static_cast<std::uint8_t>((size >> 21) & 0x7F),
                                     static_cast<std::uint8_t>((size >> 14) & 0x7F),
                                     static_cast<std::uint8_t>((size >> 7) & 0x7F),
                                     static_cast<std::uint8_t>(size & 0x7F)};
    std::copy(std::begin(header), std::end(header), tag.begin());
    return tag;
}

bytes id3v1_tag_bytes(const std::string& title, const std::string& artist, std::uint8_t track, std::uint8_t genre)
{
    bytes tag(128, 0);
    std::memcpy(tag.data(), "TAG", 3);
    std::memcpy(tag.data() + 3, title.data(), std::min<std::size_t>(title.size(), 30));
    std::memcpy(tag.data() + 33, artist.data(), std::min<std::size_t>(artist.size(), 30));
    tag[126] = track;
    tag[127] = genre;
    return tag;
}

scan_options options(const std::string& switches)
{
    std::vector<std::string> words = {"framelint"};
    std::size_t at = 0;
    while (at < switches.size()) {
        const std::size_t end = switches.find(' ', at);
        const std::string word = switches.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (!word.empty()) {
            words.push_back(word);
        }
        if (end == std::string::npos) {
            break;
        }
        at = end + 1;
    }
    words.emplace_back("file.mp3");
    std::vector<const char*> argv;
    for (const std::string& w : words) {
        argv.push_back(w.c_str());
    }
    const auto parsed = cli::parse_command_line(static_cast<int>(argv.size()), argv.data());
    if (parsed.outcome != cli::parse_outcome::run) {
        throw std::invalid_argument("switches not accepted: " + switches);
    }
    return parsed.options;
}

scan_result scan_memory(const bytes& stream, const scan_options& opts, bool as_stdin)
{
    scan_result r;
    {
        std::string out;
        std::string err;
        io::output o(out);
        io::output e(err);
        io::byte_source in(std::span<const std::uint8_t>(stream.data(), stream.size()), as_stdin);
        r.state = scan_stream(in, opts, o, e);
    }
    io::output o(r.out);
    io::output e(r.err);
    io::byte_source in(std::span<const std::uint8_t>(stream.data(), stream.size()), as_stdin);
    r.clean = scan_file(in, "mem", opts, o, e);
    o.flush();
    e.flush();
    return r;
}

scan_result scan_regular_file(const bytes& stream, const scan_options& opts)
{
    const std::string path = write_temp_file(stream);
    scan_result r;
    for (int pass = 0; pass < 2; ++pass) {
        const int fd = ::open(path.c_str(), O_RDONLY);
        if (fd < 0) {
            throw std::runtime_error("cannot open " + path);
        }
        std::string out;
        std::string err;
        {
            io::output o(out);
            io::output e(err);
            std::vector<std::uint8_t> buffer(io::byte_source::block_size);
            io::byte_source in(fd, false, buffer);
            if (pass == 0) {
                r.state = scan_stream(in, opts, o, e);
            } else {
                r.clean = scan_file(in, "mem", opts, o, e);
            }
        }
        ::close(fd);
        if (pass == 1) {
            r.out = out;
            r.err = err;
        }
    }
    ::unlink(path.c_str());
    return r;
}

bytes read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string write_temp_file(const bytes& data, const std::string& name_hint)
{
    std::string pattern = "/tmp/framelint-test-" + name_hint + "-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = ::mkstemp(name.data());
    if (fd < 0) {
        throw std::runtime_error("mkstemp failed");
    }
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t put = ::write(fd, data.data() + done, data.size() - done);
        if (put <= 0) {
            ::close(fd);
            throw std::runtime_error("write failed");
        }
        done += static_cast<std::size_t>(put);
    }
    ::close(fd);
    return name.data();
}

std::string fixture(const std::string& name) { return std::string(FRAMELINT_TEST_DATA) + "/" + name; }

}  // namespace framelint::test
