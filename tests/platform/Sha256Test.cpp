#include <gtest/gtest.h>

#include "BastorShared/platform/Sha256.h"

namespace bastor {
namespace {

TEST(Sha256Test, KnownVectors) {
    EXPECT_EQ(Sha256::hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256::hex("abc"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha256::hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(Sha256::hex(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    EXPECT_EQ(Sha256().hexDigest(), Sha256::hex(""));
}

TEST(Sha256Test, IncrementalMatchesOneShot) {
    std::string data;
    for (int i = 0; i < 5000; ++i)
        data += static_cast<char>(i * 31 + 7);
    // Uneven pieces cross the 64-byte block boundaries at different offsets.
    for (std::size_t piece : {1u, 3u, 63u, 64u, 65u, 1000u}) {
        Sha256 hash;
        for (std::size_t at = 0; at < data.size(); at += piece)
            hash.update(std::string_view(data).substr(at, piece));
        EXPECT_EQ(hash.hexDigest(), Sha256::hex(data)) << "piece " << piece;
    }
}

TEST(Sha256Test, DigestLeavesTheStateUsableAndCopiesAreIndependent) {
    Sha256 hash;
    hash.update("a");
    EXPECT_EQ(hash.hexDigest(), Sha256::hex("a"));
    Sha256 copy = hash;
    hash.update("bc");
    EXPECT_EQ(hash.hexDigest(), Sha256::hex("abc"));
    EXPECT_EQ(hash.hexDigest(), Sha256::hex("abc"));
    copy.update("x");
    EXPECT_EQ(copy.hexDigest(), Sha256::hex("ax"));
    Sha256 moved = std::move(copy);
    moved.update("y");
    EXPECT_EQ(moved.hexDigest(), Sha256::hex("axy"));
    hash = moved;
    EXPECT_EQ(hash.hexDigest(), Sha256::hex("axy"));
}

}  // namespace
}  // namespace bastor
