// The handset's conversation, in-process: a scripted host plays a whole flashing run, then
// variations of it, and the handset's answers and verdict are checked.
#include "Handset.h"
#include "Hdlc.h"
#include "IntelHex.h"
#include "Kitl.h"
#include "SimTestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>

namespace {

using sim::Bytes;
using simtest::FromHex;

const Bytes kWriteAck = FromHex("7E 02 6A D3 7E");

struct Packet {
    std::string what; // "write 3", "go", "amss chunk 2", "flash 1", ...
    Bytes bytes;
};

// Every packet of a correct run, in order: the HDLC part up to the reboot, then the kITL part.
struct Script {
    std::vector<Packet> hdlc;
    std::vector<Packet> kitl;
};

Script CorrectRun(const sim::GeneratedImages& g) {
    Script s;
    const Bytes programmer = sim::DecodeHexHostRule(g.programmerHex);
    for (std::size_t j = 0, n = 0; j < programmer.size(); j += 1017, ++n)
        s.hdlc.push_back({"write " + std::to_string(n),
                          simtest::WritePacket(0x00A00000 + static_cast<std::uint32_t>(j), programmer, j,
                                               std::min<std::size_t>(1017, programmer.size() - j))});
    s.hdlc.push_back({"go", simtest::kGo});
    s.hdlc.push_back({"0x0C", simtest::kSwitch});
    s.hdlc.push_back({"hello", simtest::HelloPacket()});
    s.hdlc.push_back({"read", simtest::kRead});
    s.hdlc.push_back({"security", simtest::kSecurity});
    s.hdlc.push_back({"partition", simtest::PartitionPacket(g.partition)});
    for (std::size_t i = 0; i < 3; ++i) {
        const std::string label = sim::kBootImages[i].label;
        s.hdlc.push_back({label + " open", simtest::OpenPacket(sim::kBootImages[i].type, g.headers[i])});
        const Bytes& image = g.images[i];
        for (std::size_t off = 0, n = 0; off < image.size(); off += 1024, ++n)
            s.hdlc.push_back({label + " chunk " + std::to_string(n),
                              simtest::StreamWrite(static_cast<std::uint32_t>(off), image, off,
                                                   std::min<std::size_t>(1024, image.size() - off))});
        s.hdlc.push_back({label + " close", simtest::kClose});
    }
    s.hdlc.push_back({"reboot", simtest::kReboot});
    s.kitl.push_back({"host ack", simtest::kHostAck});
    for (std::size_t off = 0, n = 0; off < g.flash.size(); off += sim::kKitlPiece, ++n)
        s.kitl.push_back(
            {"flash " + std::to_string(n), simtest::KitlData(static_cast<std::uint32_t>(n), g.flash, off)});
    return s;
}

Packet& Find(std::vector<Packet>& packets, const std::string& what) {
    for (Packet& p : packets)
        if (p.what == what)
            return p;
    throw std::runtime_error("no packet " + what);
}

// A handset with a fake clock; each packet advances the clock by one millisecond.
class Rig {
public:
    explicit Rig(sim::Options options = {}) : m_options(std::move(options)) {
        m_options.images = "unused";
        m_generated = sim::GenerateImages(simtest::SmallSizes(), 3, 25);
        m_images = simtest::ToImageSet(m_generated);
        m_handset = std::make_unique<sim::Handset>(m_options, m_images);
        m_handset->Start(m_now);
    }

    const sim::GeneratedImages& Generated() const { return m_generated; }
    sim::Handset& Handset() { return *m_handset; }
    sim::Millis Now() const { return m_now; }

    // Sends bytes; returns what the handset answered, with the due times of the answers.
    std::vector<sim::Output> Send(const Bytes& bytes) {
        m_handset->OnBytes(bytes, m_now);
        return Tick(1);
    }
    std::vector<sim::Output> Tick(sim::Millis ms) {
        m_now += ms;
        m_handset->OnTick(m_now, false);
        return m_handset->TakeOutputs();
    }
    static Bytes Joined(const std::vector<sim::Output>& outs) {
        Bytes all;
        for (const auto& o : outs)
            all.insert(all.end(), o.bytes.begin(), o.bytes.end());
        return all;
    }

    // Plays the HDLC script; returns the answer to each packet by its name.
    std::map<std::string, Bytes> PlayHdlc(const std::vector<Packet>& packets) {
        std::map<std::string, Bytes> answers;
        for (const Packet& p : packets)
            answers[p.what] = Joined(Send(p.bytes));
        return answers;
    }
    // Takes the device away and back, as the program loop does after the reboot packet.
    Bytes Reboot() {
        EXPECT_TRUE(m_handset->WantsAway());
        m_handset->OnAway();
        m_now += 1000;
        m_handset->OnReturned(m_now);
        return Joined(Tick(0));
    }
    std::map<std::string, Bytes> PlayKitl(const std::vector<Packet>& packets) {
        std::map<std::string, Bytes> answers;
        for (const Packet& p : packets)
            answers[p.what] = Joined(Send(p.bytes));
        return answers;
    }

private:
    sim::Options m_options;
    sim::GeneratedImages m_generated;
    sim::ImageSet m_images;
    std::unique_ptr<sim::Handset> m_handset;
    sim::Millis m_now = 1000;
};

std::vector<sim::KitlFrame> KitlFrames(const Bytes& wire) {
    sim::KitlParser parser;
    std::vector<sim::KitlFrame> frames;
    for (std::uint8_t b : wire)
        if (auto f = parser.Feed(b))
            frames.push_back(std::move(*f));
    return frames;
}

const sim::Item& ItemNamed(const sim::Verdict& v, const std::string& name) {
    for (const sim::Item& item : v.items)
        if (item.name == name)
            return item;
    throw std::runtime_error("no item " + name);
}

std::string FaultText(const sim::Verdict& v) {
    std::string all;
    for (const auto& f : v.faults)
        all += "[" + f.stage + "] " + f.what + "\n";
    return all;
}

TEST(SimHandset, CorrectRunIsAnsweredAndFlashedByteForByte) {
    Rig rig;
    Script script = CorrectRun(rig.Generated());
    auto answers = rig.PlayHdlc(script.hdlc);

    for (const Packet& p : script.hdlc) {
        SCOPED_TRACE(p.what);
        const Bytes& a = answers[p.what];
        if (p.what.rfind("write", 0) == 0 || p.what == "go") {
            EXPECT_EQ(a, kWriteAck);
        } else if (p.what == "0x0C" || p.what == "reboot") {
            EXPECT_TRUE(a.empty());
        } else if (p.what == "hello") {
            const std::string magic = "QCOM fast download protocol targ";
            ASSERT_GT(a.size(), 34u);
            EXPECT_EQ(a[1], 0x02);
            EXPECT_EQ(std::string(a.begin() + 2, a.begin() + 34), magic);
        } else if (p.what == "read") {
            EXPECT_EQ(Bytes(a.begin(), a.begin() + 3), FromHex("7E 04 20"));
        } else if (p.what == "security") {
            EXPECT_EQ(a, FromHex("7E 18 B1 6C 7E"));
        } else if (p.what == "partition") {
            EXPECT_EQ(a, sim::EncodeFrame(FromHex("1A 00")));
        } else if (p.what.find("open") != std::string::npos) {
            EXPECT_EQ(a, sim::EncodeFrame(FromHex("1C 00")));
        } else if (p.what.find("close") != std::string::npos) {
            EXPECT_EQ(a, sim::EncodeFrame(FromHex("16")));
        } else {
            ASSERT_GE(a.size(), 7u); // 08 and the offset, echoed
            EXPECT_EQ(a[1], 0x08);
        }
    }

    const auto announce = KitlFrames(rig.Reboot());
    ASSERT_EQ(announce.size(), 1u);
    EXPECT_EQ(announce[0].Type(), sim::kKitlAnnounce);
    EXPECT_EQ(announce[0].Length(), 36u);
    // It repeats until acknowledged.
    EXPECT_EQ(KitlFrames(Rig::Joined(rig.Tick(200))).size(), 1u);

    const auto kitl = rig.PlayKitl(script.kitl);
    for (const Packet& p : script.kitl) {
        SCOPED_TRACE(p.what);
        const auto frames = KitlFrames(kitl.at(p.what));
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].Type(), sim::kKitlAck);
        EXPECT_EQ(frames[0].Length(), 4u);
    }
    EXPECT_TRUE(rig.Handset().Finished());
    EXPECT_TRUE(KitlFrames(Rig::Joined(rig.Tick(1000))).empty()); // no announcement after the handshake

    const sim::Verdict v = rig.Handset().Conclude(false);
    EXPECT_TRUE(v.pass) << FaultText(v);
    EXPECT_EQ(v.stage, sim::Stage::Done);
    for (const sim::Item& item : v.items)
        EXPECT_EQ(item.status, sim::ItemStatus::Match) << item.name;
    EXPECT_EQ(v.hdlcFrames, script.hdlc.size());
    EXPECT_EQ(v.kitlFrames, script.kitl.size());
}

// Re-frames a packet's body after changing it, so that the frame itself is sound.
Bytes Reframed(const Bytes& frame, const std::function<void(Bytes&)>& change) {
    sim::HdlcDecoder decoder;
    std::optional<sim::HdlcFrame> f;
    for (std::uint8_t b : frame)
        if (auto got = decoder.Feed(b))
            f = std::move(got);
    Bytes body = f->body;
    change(body);
    return sim::EncodeFrame(body);
}

struct Corruption {
    const char* name;
    std::function<void(Script&, const sim::GeneratedImages&)> apply;
    const char* item;
    std::size_t firstDifference;
    const char* fault; // expected fault text, "" for none
};

TEST(SimHandset, VerdictPinpointsACorruptedTransfer) {
    const Corruption cases[] = {
        {"one image byte flipped",
         [](Script& s, const sim::GeneratedImages&) {
             Packet& p = Find(s.hdlc, "amss chunk 2");
             p.bytes = Reframed(p.bytes, [](Bytes& body) { body[5 + 100] ^= 0x01; });
         },
         "amss", 2048 + 100, ""},
        {"one programmer byte flipped",
         [](Script& s, const sim::GeneratedImages&) {
             Packet& p = Find(s.hdlc, "write 16");
             p.bytes = Reframed(p.bytes, [](Bytes& body) { body[7 + 2] ^= 0x80; });
         },
         "programmer", 16 * 1017 + 2, ""},
        {"a flash piece with another's data",
         [](Script& s, const sim::GeneratedImages& g) {
             Find(s.kitl, "flash 1").bytes = simtest::KitlData(1, g.flash, 0);
         },
         "flash", 1516, ""},
        {"a chunk left out",
         [](Script& s, const sim::GeneratedImages&) {
             auto& h = s.hdlc;
             h.erase(std::find_if(h.begin(), h.end(),
                                  [](const Packet& p) { return p.what == "oemsbl chunk 0"; }));
         },
         "oemsbl", 0, "at offset 1024, should be 0"},
        {"the partition table cut short",
         [](Script& s, const sim::GeneratedImages& g) {
             Find(s.hdlc, "partition").bytes =
                 simtest::PartitionPacket(Bytes(g.partition.begin(), g.partition.end() - 1));
         },
         "partition table", 99, ""},
        {"a header for the wrong image type",
         [](Script& s, const sim::GeneratedImages& g) {
             Find(s.hdlc, "amss open").bytes = simtest::OpenPacket(5, g.headers[0]);
         },
         "amss header", 0, ""},
        {"padding of the last piece not zero",
         [](Script& s, const sim::GeneratedImages& g) {
             Bytes flash = g.flash;
             flash.push_back(0x55);
             Find(s.kitl, "flash 3").bytes = simtest::KitlData(3, flash, 3 * 1516);
         },
         "", 0, "padding of the last piece"},
    };
    for (const Corruption& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        Script script = CorrectRun(rig.Generated());
        c.apply(script, rig.Generated());
        rig.PlayHdlc(script.hdlc);
        rig.Reboot();
        rig.PlayKitl(script.kitl);
        const sim::Verdict v = rig.Handset().Conclude(false);
        EXPECT_FALSE(v.pass);
        if (*c.item) {
            const sim::Item& item = ItemNamed(v, c.item);
            EXPECT_EQ(item.status, sim::ItemStatus::Differ);
            EXPECT_EQ(item.firstDifference, c.firstDifference);
            // Nothing else is blamed.
            for (const sim::Item& other : v.items) {
                if (other.name != c.item) {
                    EXPECT_EQ(other.status, sim::ItemStatus::Match) << other.name;
                }
            }
        }
        if (*c.fault) {
            EXPECT_NE(FaultText(v).find(c.fault), std::string::npos) << FaultText(v);
        }
    }
}

struct FrameFault {
    const char* name;
    std::function<void(Script&)> apply;
    const char* fault;
};

TEST(SimHandset, EveryFrameIsCheckedOnTheWire) {
    const FrameFault cases[] = {
        {"needless escape",
         [](Script& s) {
             // 7E 02 ... : escape the 0x0F command byte as 7D 2F
             Bytes& b = Find(s.hdlc, "write 0").bytes;
             b[1] = 0x2F;
             b.insert(b.begin() + 1, 0x7D);
         },
         "needless escape 7D 2F"},
        {"wrong FCS", [](Script& s) { Find(s.hdlc, "read").bytes[8] ^= 0x01; }, "FCS wrong"},
        {"go packet for another address",
         [](Script& s) { Find(s.hdlc, "go").bytes = sim::EncodeFrame(FromHex("05 00 A0 00 10")); },
         "go packet is"},
        {"write to a skipped address",
         [](Script& s) {
             Packet& p = Find(s.hdlc, "write 1");
             p.bytes = Reframed(p.bytes, [](Bytes& body) { body[3] ^= 0x10; });
         },
         "write 2 to address"},
        {"hello packet changed",
         [](Script& s) { Find(s.hdlc, "hello").bytes = sim::EncodeFrame(FromHex("01 00")); },
         "hello packet is"},
        {"close packet with a body",
         [](Script& s) { Find(s.hdlc, "amss close").bytes = sim::EncodeFrame(FromHex("15 00")); },
         "close packet is"},
        {"stream-write offset off by one",
         [](Script& s) {
             Packet& p = Find(s.hdlc, "appsboot chunk 0");
             p.bytes = Reframed(p.bytes, [](Bytes& body) { body[1] = 1; });
         },
         "appsboot chunk 0 at offset 1, should be 0"},
        // Wild addresses are reported, never turned into memory.
        {"write far outside the programmer",
         [](Script& s) {
             Packet& p = Find(s.hdlc, "write 3");
             p.bytes = Reframed(p.bytes, [](Bytes& body) { body[1] = 0xF0; });
         },
         "outside the programmer's memory"},
        {"stream-write far beyond the image",
         [](Script& s) {
             Packet& p = Find(s.hdlc, "amss chunk 1");
             p.bytes = Reframed(p.bytes, [](Bytes& body) { body[4] = 0xF0; });
         },
         "far beyond the image"},
        {"partition table twice",
         [](Script& s) {
             auto& h = s.hdlc;
             auto at =
                 std::find_if(h.begin(), h.end(), [](const Packet& p) { return p.what == "partition"; });
             h.insert(at, Packet{"partition again", at->bytes});
         },
         "partition table sent again"},
        {"bytes between frames",
         [](Script& s) {
             Find(s.hdlc, "security").bytes.insert(Find(s.hdlc, "security").bytes.begin(), 0x00);
         },
         "outside any frame"},
        {"kITL sequence gap", [](Script& s) { s.kitl.erase(s.kitl.begin() + 2); },
         "sequence number 2, should be 1"},
        {"host acknowledgement not all zero",
         [](Script& s) {
             Find(s.kitl, "host ack").bytes = sim::BuildKitlFrame(sim::kKitlAck, FromHex("00 00 00 01"));
         },
         "acknowledgement is"},
        {"kITL data sum wrong", [](Script& s) { Find(s.kitl, "flash 0").bytes[20] ^= 1; }, "data sum"},
        {"kITL reserved byte set",
         [](Script& s) {
             Bytes& b = Find(s.kitl, "flash 0").bytes;
             b[5] = 1;
             b[9] = static_cast<std::uint8_t>(b[9] + 1);
         },
         "reserved byte"},
    };
    for (const FrameFault& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        Script script = CorrectRun(rig.Generated());
        c.apply(script);
        rig.PlayHdlc(script.hdlc);
        if (rig.Handset().WantsAway()) {
            rig.Reboot();
            rig.PlayKitl(script.kitl);
        }
        const sim::Verdict v = rig.Handset().Conclude(false);
        EXPECT_FALSE(v.pass);
        EXPECT_NE(FaultText(v).find(c.fault), std::string::npos) << FaultText(v);
    }
}

TEST(SimHandset, FrameWithAWrongFcsGetsNoAnswer) {
    Rig rig;
    Bytes write = CorrectRun(rig.Generated()).hdlc[0].bytes;
    write[write.size() - 2] ^= 0x01;
    EXPECT_TRUE(Rig::Joined(rig.Send(write)).empty());
}

struct ScenarioAnswer {
    const char* name;
    sim::Scenario scenario;
    unsigned status;
    int image;
    std::uint32_t chunk;
    const char* packet; // the packet whose answer the scenario changes
    const char* answer; // expected answer, hex (a prefix for longer answers)
    bool refusal;       // the host must stop here
};

TEST(SimHandset, ScenariosChangeExactlyTheirAnswer) {
    const ScenarioAnswer cases[] = {
        {"hello-bad", sim::Scenario::HelloBad, 0, 0, 0, "hello", "7E 02 51 43 4F 4D", true},
        {"hello-case", sim::Scenario::HelloCase, 0, 0, 0, "hello", "7E 02 71 63 6F 6D 20 46", false},
        {"read-bad", sim::Scenario::ReadBad, 0, 0, 0, "read", "7E 04 21 00 00 00", true},
        {"security-bad", sim::Scenario::SecurityBad, 0, 0, 0, "security", "7E 18 B1 6D 7E", true},
        {"partition-status 3", sim::Scenario::PartitionStatus, 3, 0, 0, "partition", "7E 1A 03", true},
        {"partition-foreign", sim::Scenario::PartitionForeign, 0, 0, 0, "partition", "7E 0E 00", true},
        {"open-status 5 for amss", sim::Scenario::OpenStatus, 5, 1, 0, "amss open", "7E 1C 05", true},
        {"stream-bad at amss chunk 1", sim::Scenario::StreamBad, 0, 1, 1, "amss chunk 1", "7E 0E 00", true},
        {"stream-offset at oemsbl chunk 1", sim::Scenario::StreamOffset, 0, 0, 1, "oemsbl chunk 1",
         "7E 08 01 04 00 00", false},
        {"close-bad for appsboot", sim::Scenario::CloseBad, 0, 2, 0, "appsboot close", "7E 0E 00", true},
    };
    for (const ScenarioAnswer& c : cases) {
        SCOPED_TRACE(c.name);
        sim::Options options;
        options.scenario = c.scenario;
        options.status = c.status;
        options.image = c.image;
        options.chunk = c.chunk;
        Rig rig(options);
        Rig reference;
        Script script = CorrectRun(rig.Generated());
        const auto answers = rig.PlayHdlc(script.hdlc);
        const auto normal = reference.PlayHdlc(script.hdlc);
        bool after = false; // past the refusal the host is at fault and answers may stop
        for (const Packet& p : script.hdlc) {
            if (after && c.refusal)
                break;
            if (p.what == c.packet) {
                after = true;
                const Bytes expected = FromHex(c.answer);
                const Bytes& got = answers.at(p.what);
                ASSERT_GE(got.size(), expected.size());
                EXPECT_EQ(Bytes(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(expected.size())),
                          expected);
                EXPECT_NE(got, normal.at(p.what));
            } else {
                EXPECT_EQ(answers.at(p.what), normal.at(p.what)) << p.what;
            }
        }
        // A host that goes on after a refusal is at fault; one that passes a harmless change isn't.
        const std::string faults = FaultText(rig.Handset().Conclude(false));
        EXPECT_EQ(faults.find("host went on after the refusal") != std::string::npos, c.refusal) << faults;
    }
}

TEST(SimHandset, LateStreamAnswersComeAfterTheCloseAndBeforeItsAnswer) {
    sim::Options options;
    options.scenario = sim::Scenario::StreamLate;
    options.image = 1;
    options.chunk = 1;
    options.count = 5; // more than the image's full chunks: only full chunks are withheld
    Rig rig(options);
    Script script = CorrectRun(rig.Generated());
    const auto answers = rig.PlayHdlc(script.hdlc);
    EXPECT_FALSE(answers.at("amss chunk 0").empty());
    EXPECT_TRUE(answers.at("amss chunk 1").empty());
    EXPECT_TRUE(answers.at("amss chunk 2").empty());
    EXPECT_FALSE(answers.at("amss chunk 3").empty()); // the short last chunk is always answered
    Bytes expected = sim::EncodeFrame(FromHex("08 00 04 00 00"));
    for (const Bytes& b : {sim::EncodeFrame(FromHex("08 00 08 00 00")), sim::EncodeFrame(FromHex("16"))})
        expected.insert(expected.end(), b.begin(), b.end());
    EXPECT_EQ(answers.at("amss close"), expected);
    rig.Reboot();
    rig.PlayKitl(script.kitl);
    EXPECT_TRUE(rig.Handset().Conclude(false).pass);
}

TEST(SimHandset, SilentFromAChosenPacketOn) {
    sim::Options options;
    options.scenario = sim::Scenario::Silent;
    options.silentAt = sim::Stage::Partition;
    Rig rig(options);
    Script script = CorrectRun(rig.Generated());
    const auto answers = rig.PlayHdlc(script.hdlc);
    EXPECT_FALSE(answers.at("security").empty());
    for (const char* quiet : {"partition", "oemsbl open", "oemsbl chunk 0", "amss close"})
        EXPECT_TRUE(answers.at(quiet).empty()) << quiet;
}

TEST(SimHandset, LatencyHoldsAnswersBackButNotTheGoAnswer) {
    sim::Options options;
    options.latencyMs = 250;
    Rig rig(options);
    Script script = CorrectRun(rig.Generated());
    const auto write = rig.Send(script.hdlc[0].bytes);
    ASSERT_EQ(write.size(), 1u);
    EXPECT_EQ(write[0].due, rig.Now() - 1 + 250);
    for (std::size_t i = 1; i < script.hdlc.size() && script.hdlc[i].what != "go"; ++i)
        rig.Send(script.hdlc[i].bytes);
    const auto go = rig.Send(simtest::kGo);
    ASSERT_EQ(go.size(), 1u);
    // Never before an earlier answer: answers keep their order.
    EXPECT_GE(go[0].due, rig.Now() - 1);
    EXPECT_LE(go[0].due, rig.Now() - 1 + 250);
}

TEST(SimHandset, KitlNoiseScenarios) {
    struct Case {
        const char* name;
        sim::Scenario scenario;
        std::optional<std::uint32_t> chunk;
    };
    const Case cases[] = {
        {"garbage", sim::Scenario::KitlGarbage, std::nullopt},
        {"stray 0x6B before the first announcement", sim::Scenario::KitlStray, std::nullopt},
        {"bad header on the first announcement", sim::Scenario::KitlBadHeader, std::nullopt},
        {"stray 0x6B before the acknowledgement of frame 1", sim::Scenario::KitlStray, 1},
        {"bad header on the acknowledgement of frame 1", sim::Scenario::KitlBadHeader, 1},
        {"repeated announcement", sim::Scenario::KitlRepeat, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::Options options;
        options.scenario = c.scenario;
        options.chunk = c.chunk;
        Rig rig(options);
        Script script = CorrectRun(rig.Generated());
        rig.PlayHdlc(script.hdlc);
        const Bytes first = rig.Reboot();
        const Bytes second = Rig::Joined(rig.Tick(200));
        const auto hostAck = rig.Send(simtest::kHostAck);
        std::vector<Bytes> dataAcks;
        for (std::size_t i = 1; i < script.kitl.size(); ++i)
            dataAcks.push_back(Rig::Joined(rig.Send(script.kitl[i].bytes)));

        const bool announceSpoiled = !c.chunk && (c.scenario == sim::Scenario::KitlStray ||
                                                  c.scenario == sim::Scenario::KitlBadHeader);
        const auto firstFrames = KitlFrames(first);
        ASSERT_EQ(firstFrames.size(), 1u);
        EXPECT_EQ(firstFrames[0].Intact(), c.scenario != sim::Scenario::KitlBadHeader || c.chunk.has_value());
        EXPECT_EQ(firstFrames[0].strayBefore, c.scenario == sim::Scenario::KitlGarbage ? 16u
                                              : announceSpoiled && c.scenario == sim::Scenario::KitlStray
                                                  ? 1u
                                                  : 0u);
        // The repeat is always clean.
        const auto secondFrames = KitlFrames(second);
        ASSERT_EQ(secondFrames.size(), 1u);
        EXPECT_TRUE(secondFrames[0].Intact());

        const auto ackFrames = KitlFrames(Rig::Joined(hostAck));
        ASSERT_EQ(ackFrames.size(), c.scenario == sim::Scenario::KitlRepeat ? 2u : 1u);
        EXPECT_EQ(ackFrames.back().Type(), sim::kKitlAck);
        if (c.scenario == sim::Scenario::KitlRepeat) {
            EXPECT_EQ(ackFrames.front().Type(), sim::kKitlAnnounce);
        }

        if (c.chunk) {
            // The spoiled acknowledgement, then a clean copy once the host stays silent.
            const auto spoiled = KitlFrames(dataAcks[*c.chunk]);
            ASSERT_EQ(spoiled.size(), 1u);
            EXPECT_TRUE(spoiled[0].strayBefore == 1 || !spoiled[0].Intact());
        }
        EXPECT_TRUE(rig.Handset().Conclude(false).pass);
    }
}

TEST(SimHandset, SpoiledAcknowledgementIsSentAgainCleanAfterSilence) {
    sim::Options options;
    options.scenario = sim::Scenario::KitlBadHeader;
    options.chunk = 0;
    Rig rig(options);
    Script script = CorrectRun(rig.Generated());
    rig.PlayHdlc(script.hdlc);
    rig.Reboot();
    rig.Send(simtest::kHostAck);
    const auto spoiled = KitlFrames(Rig::Joined(rig.Send(script.kitl[1].bytes)));
    ASSERT_EQ(spoiled.size(), 1u);
    EXPECT_FALSE(spoiled[0].Intact());
    EXPECT_TRUE(rig.Tick(500).empty());
    const auto clean = KitlFrames(Rig::Joined(rig.Tick(600)));
    ASSERT_EQ(clean.size(), 1u);
    EXPECT_TRUE(clean[0].Intact());
    EXPECT_EQ(clean[0].Type(), sim::kKitlAck);
}

TEST(SimHandset, StartingLaterSkipsTheEarlierItems) {
    sim::Options options;
    options.startAt = sim::Stage::KitlAnnounce;
    Rig rig(options);
    Script script = CorrectRun(rig.Generated());
    EXPECT_EQ(KitlFrames(Rig::Joined(rig.Tick(0))).size(), 1u);
    rig.PlayKitl(script.kitl);
    const sim::Verdict v = rig.Handset().Conclude(false);
    EXPECT_TRUE(v.pass) << FaultText(v);
    EXPECT_EQ(ItemNamed(v, "programmer").status, sim::ItemStatus::Skipped);
    EXPECT_EQ(ItemNamed(v, "flash").status, sim::ItemStatus::Match);
}

TEST(SimHandset, RandomBytesInEveryModeNeverBreakIt) {
    std::mt19937 random(7);
    for (sim::Stage start : {sim::Stage::Download, sim::Stage::Hello, sim::Stage::KitlAnnounce}) {
        sim::Options options;
        options.startAt = start;
        Rig rig(options);
        for (int round = 0; round < 300; ++round) {
            Bytes noise(random() % 600);
            for (std::uint8_t& b : noise) {
                const unsigned r = random() % 10;
                b = r == 0 ? 0x7E : r == 1 ? 0x7D : r == 2 ? 0x6B : static_cast<std::uint8_t>(random());
            }
            rig.Send(noise);
        }
        const sim::Verdict v = rig.Handset().Conclude(false);
        EXPECT_FALSE(v.pass);
        EXPECT_LE(v.faults.size(), sim::kFaultListLimit);
        EXPECT_GT(v.faultsTotal, 0u);
    }
}

} // namespace
