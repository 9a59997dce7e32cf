// Editor: an arbitrary image, as a load leaves it, then a sequence of sets
// and deletes. Each edit's result is compared with a model of the rebuild
// (entries of the name dropped, the new entry appended, then the
// terminator, if it all fits); after a successful edit the crc verifies
// (big-endian), the edited name holds the new value or is gone, every
// variable whose name has no "=" and is not shadowed by the edited name
// keeps its value, both buffers hold the same image, and the fill after
// the terminator is 0xFF. A failed edit leaves the image as it was.
//
// Input: byte 0 control (bit 0: the image is buffer 2; bit 1: pad the image
// with 0x00, not 0xFF), bytes 1-2 the image's data length (big-endian), the
// data, then up to 8 edits: a kind byte (low two bits: 0 delete, 1 set, 2
// set to a long run of one byte, 3 set to the empty value), the name up to
// a NUL, and for a set its value up to a NUL, or for a long run two bytes of
// count (big-endian) and the byte.
#include <algorithm>
#include <cstring>

#include "common.hpp"
#include "ubootenv.hpp"

using ubootenv::env_data_size;
using ubootenv::env_size;
using ubootenv::EnvImage;

namespace {

struct Reader {
    const std::uint8_t* p;
    const std::uint8_t* end;
    bool empty() const { return p >= end; }
    std::uint8_t byte() { return p < end ? *p++ : 0; }
    std::string text(std::size_t max) {  // up to a NUL, which is consumed
        std::string s;
        while (p < end && *p != 0 && s.size() < max) s.push_back(static_cast<char>(*p++));
        if (p < end && *p == 0) ++p;
        return s;
    }
};

std::string image_bytes(const EnvImage* img) {
    return std::string(reinterpret_cast<const char*>(img), env_size);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::capture_streams();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* in, std::size_t size) {
    if (size < 3) return 0;
    Reader r{in, in + size};
    const std::uint8_t ctl = r.byte();
    std::size_t len = std::size_t{r.byte()} << 8;
    len |= r.byte();
    len = std::min({len, env_data_size, size - 3});

    const int which = ctl & 1;
    EnvImage* img = &ubootenv::env_store.image[which];
    EnvImage* partner = &ubootenv::env_store.image[1 - which];
    std::memset(img, (ctl & 2) ? 0x00 : 0xFF, env_size);
    std::memcpy(img->data, r.p, len);
    r.p += len;
    img->data[env_data_size - 1] = '\0';  // as the load leaves the chosen copy
    std::memset(partner, 0xA5, env_size);
    partner->flag = 0x3C;
    const std::uint8_t partner_flag = partner->flag;

    for (int step = 0; step < 8 && !r.empty(); ++step) {
        const int kind = r.byte() & 3;
        const std::string name = r.text(64);
        std::string value;
        if (kind == 1) value = r.text(256);
        if (kind == 2) {
            std::size_t count = std::size_t{r.byte()} << 8;
            count |= r.byte();
            value.assign(count, static_cast<char>(r.byte() | 1));  // never a NUL
        }
        const bool set = kind != 0;

        // The model: kept entries, then NAME=VALUE, then the terminator.
        const std::string before = image_bytes(img);
        const auto old_list = fuzz::entries_of(before.data() + 5, env_data_size);
        std::string data;
        for (std::string_view e : old_list) {
            if (e.size() > name.size() && e.starts_with(name) && e[name.size()] == '=') continue;
            data.append(e).push_back('\0');
        }
        if (set) data.append(name).append("=").append(value).push_back('\0');
        data.push_back('\0');
        const int expected = data.size() <= env_data_size ? 0 : -1;

        fuzz::clear_streams();
        const int result =
            ubootenv::put_uboot_env_var(img, name.c_str(), set ? value.c_str() : nullptr);
        FUZZ_CHECK(fuzz::out_text.empty() && fuzz::err_text.empty());
        FUZZ_CHECK(result == expected);
        if (result != 0) {
            FUZZ_CHECK(image_bytes(img) == before);
            continue;
        }

        FUZZ_CHECK(std::memcmp(img, partner, env_size) == 0);
        FUZZ_CHECK(img->flag == partner_flag);
        FUZZ_CHECK(fuzz::load_be32(img->crc) == fuzz::reference_crc(img->data, env_data_size));
        FUZZ_CHECK(std::memcmp(img->data, data.data(), data.size()) == 0);
        FUZZ_CHECK(std::all_of(img->data + data.size(), img->data + env_data_size,
                               [](char c) { return static_cast<std::uint8_t>(c) == 0xFF; }));

        // The loader would zero the last byte; it is the terminator or fill.
        img->data[env_data_size - 1] = '\0';
        const char* got = ubootenv::get_uboot_env_var(img, name.c_str());
        if (set) FUZZ_CHECK(got && value == got);
        else FUZZ_CHECK(got == nullptr);

        // Every other variable keeps its value. A name that the edited name
        // begins with, followed by "=", may see its first entry go or come.
        for (const std::string& other : fuzz::names_in(old_list)) {
            if (other.find('=') != std::string::npos || other == name) continue;
            if (name.size() > other.size() && name.starts_with(other) && name[other.size()] == '=')
                continue;
            const auto old_value = fuzz::value_of(old_list, other);
            const char* now = ubootenv::get_uboot_env_var(img, other.c_str());
            FUZZ_CHECK(old_value.has_value() == (now != nullptr));
            if (now) FUZZ_CHECK(*old_value == now);
        }
    }
    return 0;
}
