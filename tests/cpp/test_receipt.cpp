// SHA-256 against FIPS 180-4 vectors, and state hashes of the accumulators.
#include <string>

#include "dot.hpp"
#include "fast.hpp"
#include "receipt.hpp"
#include "support.hpp"

using namespace vxt;

static_assert(vx::Mergeable<vx::SumF64> && vx::Mergeable<vx::SumF32> && vx::Mergeable<vx::DotF64>);
static_assert(!vx::Mergeable<vx::FastSumF64>);

namespace {

std::string hex(const vx::Digest& d) {
    std::string s;
    for (std::uint8_t b : d) {
        s += "0123456789abcdef"[b >> 4];
        s += "0123456789abcdef"[b & 15];
    }
    return s;
}

vx::Digest sha(const std::string& text) {
    return vx::sha256({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

}  // namespace

TEST(Sha256, StandardVectorsAndPaddingBoundaries) {
    const struct { std::string text, digest; } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
        {std::string(63, 'a'), "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
        {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) EXPECT_EQ(hex(sha(c.text)), c.digest) << c.text.size();
    EXPECT_EQ(hex(sha("abc")), cases[1].digest);  // a reused context starts afresh
}

TEST(StateHash, IsTheDigestOfTheEncoding) {
    vx::SumF64 s;
    EXPECT_EQ(hex(vx::state_hash(s)), "e00f7afdb63013b706018c55b783bffedd850f191f9a3184e9b896b498077e76");
    vx::add(s, 1.0);
    EXPECT_EQ(hex(vx::state_hash(s)), "4ddf1a036e7911dbf070df283f8225d7440e2f2ffdb27d908f159efd77717d82");
    EXPECT_EQ(vx::state_hash(vx::SumF32{s}), vx::state_hash(s));
    EXPECT_EQ(hex(vx::state_hash(vx::DotF64{})),
              "4afd6e7f6ef862c727cf5780abfde2094eb56e93383b6e9d4cb7fae81dd17cd1");

    Rng r(41);
    vx::DotF64 d;
    d.sum.limbs = random_limbs(r);
    d.sum.count = UINT64_MAX;
    d.sum.flags = vx::kAllFlags;
    d.exactness_lost = true;
    const auto bytes = vx::encode(d);
    EXPECT_EQ(vx::state_hash(d), vx::sha256(bytes));
    EXPECT_NE(vx::state_hash(d), vx::state_hash(d.sum));
}
