// handset-sim as a program: a scripted host talks to it through its pseudo-terminal, one
// conversation per protocol, and reads its verdict.
#include "Hdlc.h"
#include "ImageGen.h"
#include "IntelHex.h"
#include "Kitl.h"
#include "SimTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sys/stat.h>

namespace {

using namespace std::chrono_literals;
using sim::Bytes;
using simtest::FromHex;

class SimOnPty : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_dir.Path().empty());
        m_images = m_dir.Path() + "/images";
        m_link = m_dir.Path() + "/wceusbsh001";
        m_verdict = m_dir.Path() + "/verdict.json";
        ASSERT_EQ(mkdir(m_images.c_str(), 0700), 0);
        m_generated = sim::GenerateImages(simtest::SmallSizes(), 11, 25);
        std::string error;
        ASSERT_TRUE(sim::WriteImageSet(m_generated, m_images, error)) << error;
    }

    std::unique_ptr<simtest::SimProcess> Start(std::vector<std::string> extra) {
        std::vector<std::string> args = {"--link",    m_link,    "--images",  m_images,
                                         "--verdict", m_verdict, "--summary", m_dir.Path() + "/summary.txt"};
        args.insert(args.end(), extra.begin(), extra.end());
        auto process = std::make_unique<simtest::SimProcess>(args);
        const auto ready = process->WaitLine("ready ", 10s);
        EXPECT_TRUE(ready.has_value());
        EXPECT_EQ(ready.value_or(""), "ready " + m_link);
        return process;
    }

    std::string Verdict() const { return simtest::ReadText(m_verdict); }

    simtest::TempDir m_dir;
    std::string m_images, m_link, m_verdict;
    sim::GeneratedImages m_generated;
};

TEST_F(SimOnPty, DownloadConversation) {
    auto sim = Start({});
    simtest::HostLink host(m_link);
    ASSERT_TRUE(host.Ok());
    const Bytes programmer = sim::DecodeHexHostRule(m_generated.programmerHex);
    for (std::size_t j = 0; j < programmer.size(); j += 1017) {
        host.Send(simtest::WritePacket(0x00A00000 + static_cast<std::uint32_t>(j), programmer, j,
                                       std::min<std::size_t>(1017, programmer.size() - j)));
        ASSERT_EQ(host.ReadFrame(5s), FromHex("7E 02 6A D3 7E")) << "write at " << j;
    }
    host.Send(simtest::kGo);
    EXPECT_EQ(host.ReadFrame(5s), FromHex("7E 02 6A D3 7E"));
    host.Send(simtest::kSwitch);
    // Now the programmer answers.
    host.Send(simtest::kSecurity);
    EXPECT_EQ(host.ReadFrame(5s), FromHex("7E 18 B1 6C 7E"));

    sim->Terminate();
    EXPECT_EQ(sim->WaitExit(10s), 1); // interrupted: not a pass
    const std::string verdict = Verdict();
    EXPECT_NE(verdict.find("\"interrupted\": true"), std::string::npos);
    EXPECT_NE(verdict.find("{\"name\": \"programmer\", \"file\": \"NPRG7200.hex\", \"status\": \"match\""),
              std::string::npos)
        << verdict;
    // The security packet came before hello: out of order.
    EXPECT_NE(verdict.find("security packet where the hello packet was due"), std::string::npos) << verdict;
    EXPECT_TRUE(simtest::WaitForPath(m_link, false, 1s)) << "the link outlived the simulator";
}

TEST_F(SimOnPty, StreamingConversationEndsWithTheDeviceGone) {
    auto sim = Start({"--start-at", "streaming", "--scenario", "no-return", "--exit-after-idle", "1"});
    simtest::HostLink host(m_link);
    ASSERT_TRUE(host.Ok());
    host.Send(simtest::HelloPacket());
    const auto hello = host.ReadFrame(5s);
    ASSERT_TRUE(hello && hello->size() > 34);
    EXPECT_EQ(std::string(hello->begin() + 2, hello->begin() + 34), "QCOM fast download protocol targ");
    host.Send(simtest::kRead);
    const Bytes read = host.ReadFrame(5s).value_or(Bytes{});
    ASSERT_GE(read.size(), 3u);
    EXPECT_EQ(Bytes(read.begin(), read.begin() + 3), FromHex("7E 04 20"));
    host.Send(simtest::kSecurity);
    EXPECT_EQ(host.ReadFrame(5s), FromHex("7E 18 B1 6C 7E"));
    host.Send(simtest::PartitionPacket(m_generated.partition));
    EXPECT_EQ(host.ReadFrame(5s), sim::EncodeFrame(FromHex("1A 00")));
    for (std::size_t i = 0; i < 3; ++i) {
        host.Send(simtest::OpenPacket(sim::kBootImages[i].type, m_generated.headers[i]));
        EXPECT_EQ(host.ReadFrame(5s), sim::EncodeFrame(FromHex("1C 00")));
        const Bytes& image = m_generated.images[i];
        for (std::size_t off = 0; off < image.size(); off += 1024) {
            host.Send(simtest::StreamWrite(static_cast<std::uint32_t>(off), image, off,
                                           std::min<std::size_t>(1024, image.size() - off)));
            Bytes echo = {0x08};
            for (int k = 0; k < 4; ++k)
                echo.push_back(static_cast<std::uint8_t>(off >> (8 * k)));
            EXPECT_EQ(host.ReadFrame(5s), sim::EncodeFrame(echo));
        }
        host.Send(simtest::kClose);
        EXPECT_EQ(host.ReadFrame(5s), sim::EncodeFrame(FromHex("16")));
    }
    host.Send(simtest::kReboot);
    // Unplugged: the open descriptor is hung up and the path is gone.
    EXPECT_TRUE(sim->WaitLine("away", 5s).has_value());
    EXPECT_TRUE(host.ReadFails(2s));
    EXPECT_TRUE(simtest::WaitForPath(m_link, false, 1s));
    EXPECT_FALSE(simtest::HostLink(m_link).Ok());

    EXPECT_EQ(sim->WaitExit(10s), 1); // never came back: the flash is missing
    const std::string verdict = Verdict();
    for (const char* item :
         {"partition table", "oemsbl header", "oemsbl", "amss", "appsboot header", "appsboot"})
        EXPECT_NE(verdict.find(std::string("{\"name\": \"") + item + "\", \"file\""), std::string::npos)
            << item;
    EXPECT_EQ(verdict.find("\"status\": \"differ\""), std::string::npos) << verdict;
    EXPECT_NE(verdict.find("{\"name\": \"flash\", \"file\": \"FLASH.bin\", \"status\": \"missing\""),
              std::string::npos)
        << verdict;
    EXPECT_NE(verdict.find("\"faults_total\": 0"), std::string::npos) << verdict;
}

TEST_F(SimOnPty, KitlConversationAfterReturnPasses) {
    auto sim = Start({"--start-at", "kitl", "--announce-ms", "100"});
    {
        // The host may open, close and reopen the device before it listens.
        simtest::HostLink probe(m_link);
        ASSERT_TRUE(probe.Ok());
    }
    simtest::HostLink host(m_link);
    ASSERT_TRUE(host.Ok());
    // Announcements repeat until acknowledged.
    const auto first = host.ReadKitl(sim::kKitlAnnounce, 5s);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->size(), 46u);
    EXPECT_TRUE(host.ReadKitl(sim::kKitlAnnounce, 5s).has_value());
    host.Send(simtest::kHostAck);
    ASSERT_TRUE(host.ReadKitl(sim::kKitlAck, 5s).has_value());
    const Bytes& flash = m_generated.flash;
    for (std::uint32_t seq = 0; seq * sim::kKitlPiece < flash.size(); ++seq) {
        host.Send(simtest::KitlData(seq, flash, seq * sim::kKitlPiece));
        const auto ack = host.ReadKitl(sim::kKitlAck, 5s);
        ASSERT_TRUE(ack.has_value()) << "piece " << seq;
        EXPECT_EQ(ack->size(), 14u);
    }
    EXPECT_EQ(sim->WaitExit(10s), 0);
    const std::string verdict = Verdict();
    EXPECT_NE(verdict.find("\"result\": \"pass\""), std::string::npos) << verdict;
    EXPECT_NE(verdict.find("{\"name\": \"flash\", \"file\": \"FLASH.bin\", \"status\": \"match\""),
              std::string::npos);
    EXPECT_NE(simtest::ReadText(m_dir.Path() + "/summary.txt").find("flashed byte for byte"),
              std::string::npos);
}

TEST_F(SimOnPty, RefusesToReplaceSomethingThatIsNotALink) {
    simtest::TempDir other;
    const std::string file = other.Path() + "/device";
    { std::ofstream(file) << "x"; }
    simtest::SimProcess sim({"--link", file, "--images", m_images});
    EXPECT_EQ(sim.WaitExit(10s), 2);
    EXPECT_EQ(simtest::ReadText(file), "x");
}

} // namespace
