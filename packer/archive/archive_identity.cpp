// SHA-256 (FIPS 180-4) over a stream, and the archive identity taken from it.
#include "packer/archive/archive_identity.h"

#include <array>
#include <vector>

#include "packer/base/errors.h"

namespace tavrin {
namespace {

constexpr std::array<std::uint32_t, 64> round_constants = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5, 0xd807aa98, 0x12835b01,
    0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc,
    0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147,
    0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116, 0x1e376c08,
    0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3, 0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208,
    0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

std::uint32_t rotate_right(std::uint32_t value, int bits) { return (value >> bits) | (value << (32 - bits)); }

// The hash state over whole 64-byte blocks; the message's tail and length are added by finish().
class sha256 {
public:
    void add(const unsigned char* data, std::size_t size)
    {
        length_ += size;
        while (size > 0) {
            std::size_t take = std::min(size, pending_.size() - pending_size_);
            std::copy(data, data + take, pending_.begin() + static_cast<std::ptrdiff_t>(pending_size_));
            pending_size_ += take;
            data += take;
            size -= take;
            if (pending_size_ == pending_.size()) {
                compress(pending_.data());
                pending_size_ = 0;
            }
        }
    }

    std::string finish()
    {
        const std::uint64_t bits = length_ * 8;
        unsigned char padding[72] = {0x80};
        std::size_t pad = (pending_size_ < 56 ? 56 : 120) - pending_size_;
        for (int i = 0; i < 8; ++i) padding[pad + static_cast<std::size_t>(i)] = static_cast<unsigned char>(bits >> (56 - 8 * i));
        add(padding, pad + 8);
        static const char digits[] = "0123456789abcdef";
        std::string hex;
        for (std::uint32_t word : state_)
            for (int shift = 28; shift >= 0; shift -= 4) hex += digits[(word >> shift) & 0xF];
        return hex;
    }

private:
    void compress(const unsigned char* block)
    {
        std::uint32_t w[64];
        for (int i = 0; i < 16; ++i)
            w[i] = (std::uint32_t(block[4 * i]) << 24) | (std::uint32_t(block[4 * i + 1]) << 16) |
                   (std::uint32_t(block[4 * i + 2]) << 8) | block[4 * i + 3];
        for (int i = 16; i < 64; ++i) {
            std::uint32_t s0 = rotate_right(w[i - 15], 7) ^ rotate_right(w[i - 15], 18) ^ (w[i - 15] >> 3);
            std::uint32_t s1 = rotate_right(w[i - 2], 17) ^ rotate_right(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        std::array<std::uint32_t, 8> v = state_;
        for (int i = 0; i < 64; ++i) {
            std::uint32_t s1 = rotate_right(v[4], 6) ^ rotate_right(v[4], 11) ^ rotate_right(v[4], 25);
            std::uint32_t choice = (v[4] & v[5]) ^ (~v[4] & v[6]);
            std::uint32_t t1 = v[7] + s1 + choice + round_constants[static_cast<std::size_t>(i)] + w[i];
            std::uint32_t s0 = rotate_right(v[0], 2) ^ rotate_right(v[0], 13) ^ rotate_right(v[0], 22);
            std::uint32_t majority = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
            std::uint32_t t2 = s0 + majority;
            v = {t1 + t2, v[0], v[1], v[2], v[3] + t1, v[4], v[5], v[6]};
        }
        for (std::size_t i = 0; i < 8; ++i) state_[i] += v[i];
    }

    std::array<std::uint32_t, 8> state_ = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                           0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::array<unsigned char, 64> pending_{};
    std::size_t pending_size_ = 0;
    std::uint64_t length_ = 0;
};

}  // namespace

std::string sha256_hex(const std::string& data)
{
    sha256 hash;
    hash.add(reinterpret_cast<const unsigned char*>(data.data()), data.size());
    return hash.finish();
}

std::string archive_identity(std::istream& image, std::uint64_t offset, std::uint64_t length)
{
    sha256 hash;
    std::vector<char> piece(1 << 20);
    image.clear();
    image.seekg(static_cast<std::streamoff>(offset));
    while (length > 0) {
        std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(length, piece.size()));
        image.read(piece.data(), static_cast<std::streamsize>(want));
        if (static_cast<std::size_t>(image.gcount()) != want) throw pack_error("cannot read the attached data back");
        hash.add(reinterpret_cast<const unsigned char*>(piece.data()), want);
        length -= want;
    }
    return hash.finish().substr(0, archive_identity_digits);
}

}  // namespace tavrin
