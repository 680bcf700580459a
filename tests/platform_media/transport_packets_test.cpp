// How an MPEG-TS file ends among a stream's transport packets, and which of its PES packets are
// empty or lack a transport packet, alike in 188-, 192- (M2TS) and 204-byte packets.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "platform/media/sample_account.h"
#include "platform/media/transport_packets.h"
#include "support/test_support.h"

namespace qm {
namespace {

using reading::TransportEnd;
using reading::TransportPackets;

constexpr int kPid = 0x100;

// A 188-byte packet of the PID with payload: `start` begins a PES packet (stamped `pts`, with
// `payload` bytes after its header); `stuffing` bytes of adaptation field shorten the payload.
std::string packet(bool start, int count, int stuffing = 0, int pts = 0, bool payload = true) {
    std::string p(188, '\xAA');
    p[0] = 0x47;
    p[1] = char((start ? 0x40 : 0) | kPid >> 8);
    p[2] = char(kPid & 0xFF);
    p[3] = char((stuffing > 0 ? 0x30 : 0x10) | (count & 0x0F));
    size_t at = 4;
    if (stuffing > 0) {
        p[4] = char(stuffing - 1);
        if (stuffing > 1) p[5] = 0;  // no flags: the rest is stuffing
        for (int k = 2; k < stuffing; ++k) p[4 + size_t(k)] = '\xFF';
        at += size_t(stuffing);
    }
    if (start) {
        const std::string header{'\0', '\0', '\1', '\xE0', '\0', '\0', '\x80', '\x80', '\5',
                                 char(0x21 | (pts >> 29 & 0x0E)), char(pts >> 22), char(pts >> 14 | 1), char(pts >> 7),
                                 char(pts << 1 | 1)};
        p.replace(at, header.size(), header);
        if (!payload) {
            // Its header alone, after an adaptation field of stuffing that fills the packet.
            p = p.substr(0, 4) + std::string{char(188 - 4 - 14 - 1), 0} + std::string(188 - 4 - 14 - 2, '\xFF') + header;
            p[3] = char(0x30 | (count & 0x0F));
        }
    }
    return p;
}

// The packets in `size`-byte packets: a time code before each (192) or error correction after (204).
std::string sized(const std::vector<std::string>& packets, int size) {
    std::string out;
    for (const std::string& p : packets)
        out += size == 192 ? std::string(4, '\0') + p : size == 204 ? p + std::string(16, '\0') : p;
    return out;
}

TEST(TransportPackets, TheEndOfTheFileIsTheSameInEveryPacketSize) {
    test::TempDir dir;
    // A PES packet over three transport packets, the last ending it with stuffing.
    const std::vector<std::string> closed{packet(true, 0, 0, 3600), packet(false, 1), packet(false, 2), packet(false, 3),
                                          packet(false, 4, 40)};
    for (const int size : {188, 192, 204}) {
        SCOPED_TRACE(size);
        const std::string whole = sized(closed, size);
        const auto endOf = [&](const std::string& bytes) {
            test::writeFile(dir / "f.ts", bytes);
            return TransportPackets(dir / "f.ts", kPid).end();
        };
        // The 188 bytes from the last sync byte held: the packet is whole, whatever follows them.
        const size_t last = whole.size() - size_t(size) + (size == 192 ? 4 : 0);
        EXPECT_EQ(endOf(whole.substr(0, last + 188)), TransportEnd::closedSample);
        EXPECT_EQ(endOf(whole), TransportEnd::closedSample);
        EXPECT_EQ(endOf(whole.substr(0, last + 100)), TransportEnd::insideSample);
        EXPECT_EQ(endOf(whole + sized({packet(true, 5, 0, 7200)}, size).substr(0, size_t(size) - 20)), TransportEnd::beforeSample);
        // Without stuffing, the last packet tells no end of its sample.
        std::vector<std::string> open = closed;
        open.back() = packet(false, 4);
        EXPECT_EQ(endOf(sized(open, size)), TransportEnd::outside);
    }
}

// The walk finds the packets by their sync bytes wherever the file begins (it looked for them only
// at its first byte, and found no empty PES packet in a file cut at its start).
TEST(TransportPackets, EmptyPesPacketsAndLostTransportPacketsAreFoundInEveryPacketSize) {
    test::TempDir dir;
    // Stamped 1, 2 (its header alone), 3 (a transport packet lost: the count skips 5), 4.
    const std::vector<std::string> packets{packet(true, 0, 0, 1), packet(false, 1), packet(true, 2, 0, 2, false),
                                           packet(true, 3, 0, 3), packet(false, 4), packet(false, 6),
                                           packet(true, 7, 0, 4), packet(false, 8)};
    for (const int size : {188, 192, 204}) {
        SCOPED_TRACE(size);
        // Cut at its start inside a packet, as a stream recorded from mid-way is.
        test::writeFile(dir / "f.ts", sized({packet(false, 15)}, size).substr(100) + sized(packets, size));
        TransportPackets walk(dir / "f.ts", kPid);
        std::vector<reading::EmptySample> empty;
        std::set<int64_t> lacking;
        EXPECT_FALSE(walk.walk(INT64_MAX, empty, lacking));
        ASSERT_EQ(empty.size(), 1u);
        EXPECT_EQ(empty[0].pts, 2);
        EXPECT_EQ(lacking, std::set<int64_t>{3});
    }
}

}  // namespace
}  // namespace qm
