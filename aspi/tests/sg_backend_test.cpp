// The SG_IO back end without hardware: a fake sysfs tree and a seam over
// open/ioctl/close.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "aspi/sg/sg_backend.h"

namespace fs = std::filesystem;

namespace {

// What the fake ioctl saw and what it answers.
struct FakeSg {
  std::string opened;
  sg_io_hdr_t seen{};
  std::uint8_t cdb[6] = {};
  std::vector<std::uint8_t> out;
  int result = 0;
  int host_status = 0;
  int target_status = 0;
  std::vector<std::uint8_t> in;
  std::vector<std::uint8_t> sense;
} g_fake;

int Fake_Open(const char* path, int) {
  g_fake.opened = path;
  return 42;
}
int Fake_Sg_Io(int, sg_io_hdr_t* h) {
  g_fake.seen = *h;
  std::memcpy(g_fake.cdb, h->cmdp, 6);
  if (h->dxfer_direction == SG_DXFER_TO_DEV)
    g_fake.out.assign(static_cast<std::uint8_t*>(h->dxferp), static_cast<std::uint8_t*>(h->dxferp) + h->dxfer_len);
  if (h->dxfer_direction == SG_DXFER_FROM_DEV && !g_fake.in.empty())
    std::memcpy(h->dxferp, g_fake.in.data(), std::min<std::size_t>(g_fake.in.size(), h->dxfer_len));
  h->host_status = static_cast<unsigned short>(g_fake.host_status);
  h->status = static_cast<unsigned char>(g_fake.target_status);
  h->sb_len_wr = static_cast<unsigned char>(std::min<std::size_t>(g_fake.sense.size(), h->mx_sb_len));
  if (h->sb_len_wr > 0) std::memcpy(h->sbp, g_fake.sense.data(), h->sb_len_wr);
  return g_fake.result;
}
int Fake_Close(int) { return 0; }
const sgaspi::Os kFakeOs = {Fake_Open, Fake_Sg_Io, Fake_Close};

class SgBackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("sgaspi-" + std::to_string(::getpid()));
    fs::remove_all(root_);
    Host(0, "7");
    Host(3, "6");
    Device("0:0:2:0", "sg1");
    Device("0:0:5:0", "sg4");
    Device("0:0:5:1", "sg5");  // LUN 1: not ours
    Device("0:1:4:0", "sg6");  // channel 1: not ours
    Device("3:0:0:0", "sg9");
    sgaspi::Set_Sysfs_Root(root_.string());
    sgaspi::Set_Os(&kFakeOs);
    sgaspi::Set_Synchronous(true);
    g_fake = FakeSg{};
  }
  void TearDown() override {
    sgaspi::Set_Sysfs_Root("");
    sgaspi::Set_Os(nullptr);
    sgaspi::Set_Synchronous(false);
    fs::remove_all(root_);
  }
  void Host(int n, const char* this_id) {
    const fs::path d = root_ / "class/scsi_host" / ("host" + std::to_string(n));
    fs::create_directories(d);
    std::ofstream(d / "this_id") << this_id << "\n";
  }
  void Device(const std::string& hctl, const std::string& sg) {
    fs::create_directories(root_ / "bus/scsi/devices" / hctl / "scsi_generic" / sg);
  }
  SRB_ExecSCSICmd Request(int ha, int target, std::uint8_t op, std::uint8_t flags, std::uint8_t* buf,
                          std::uint32_t len) {
    SRB_ExecSCSICmd r;
    std::memset(&r, 0, sizeof r);
    r.SRB_Cmd = SC_EXEC_SCSI_CMD;
    r.SRB_HaId = static_cast<std::uint8_t>(ha);
    r.SRB_Target = static_cast<std::uint8_t>(target);
    r.SRB_Flags = flags;
    r.SRB_BufLen = len;
    r.SRB_BufPointer = buf;
    r.SRB_SenseLen = 14;
    r.SRB_CDBLen = 6;
    r.CDBByte[0] = op;
    r.CDBByte[4] = static_cast<std::uint8_t>(len);
    return r;
  }
  fs::path root_;
};

TEST_F(SgBackendTest, AdaptersTargetsAndOwnIdComeFromSysfs) {
  const auto all = sgaspi::List_Adapters(root_.string());
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].host, 0);
  EXPECT_EQ(all[0].own_id, 7);
  EXPECT_EQ(all[0].sg_node[2], "/dev/sg1");
  EXPECT_EQ(all[0].sg_node[5], "/dev/sg4") << "LUN 0 only";
  EXPECT_EQ(all[0].sg_node[4], "") << "channel 0 only";
  EXPECT_EQ(all[1].host, 3);
  EXPECT_EQ(all[1].own_id, 6);
  EXPECT_EQ(GetASPI32SupportInfo(), (SS_COMP << 8) | 2u);

  SRB_HAInquiry q;
  std::memset(&q, 0, sizeof q);
  q.SRB_HaId = 1;
  EXPECT_EQ(SendASPI32Command(&q), static_cast<std::uint32_t>(SS_COMP));
  EXPECT_EQ(q.HA_SCSI_ID, 6);
  q.SRB_HaId = 2;
  EXPECT_EQ(SendASPI32Command(&q), static_cast<std::uint32_t>(SS_INVALID_HA));
  sgaspi::Set_Sysfs_Root((root_ / "nothing").string());
  EXPECT_EQ(GetASPI32SupportInfo() >> 8, static_cast<std::uint32_t>(SS_NO_ADAPTERS));
}

TEST_F(SgBackendTest, RequestCarriesCdbDirectionLengthsAndTimeLimit) {
  std::uint8_t frame[8] = {0x0B};
  SRB_ExecSCSICmd w = Request(0, 2, 0x0A, SRB_DIR_OUT, frame, 8);
  EXPECT_EQ(SendASPI32Command(&w), static_cast<std::uint32_t>(SS_COMP));
  EXPECT_EQ(g_fake.opened, "/dev/sg1");
  EXPECT_EQ(g_fake.seen.interface_id, 'S');
  EXPECT_EQ(g_fake.seen.dxfer_direction, SG_DXFER_TO_DEV);
  EXPECT_EQ(g_fake.seen.cmd_len, 6);
  EXPECT_EQ(g_fake.seen.mx_sb_len, 14);
  EXPECT_EQ(g_fake.seen.dxfer_len, 8u);
  EXPECT_EQ(g_fake.seen.timeout, sgaspi::kCommandTimeoutMs);
  EXPECT_EQ(g_fake.cdb[0], 0x0A);
  EXPECT_EQ(g_fake.cdb[4], 8);
  EXPECT_EQ(g_fake.out, std::vector<std::uint8_t>(frame, frame + 8));

  std::uint8_t in[17] = {};
  g_fake.in = {0, 1, 2, 0, 0, 0, 0, 0, 'x', 'y'};
  SRB_ExecSCSICmd r = Request(0, 2, 0x08, SRB_DIR_IN, in, 17);
  EXPECT_EQ(SendASPI32Command(&r), static_cast<std::uint32_t>(SS_COMP));
  EXPECT_EQ(g_fake.seen.dxfer_direction, SG_DXFER_FROM_DEV);
  EXPECT_EQ(g_fake.seen.dxfer_len, 17u);
  EXPECT_EQ(in[8], 'x');
}

TEST_F(SgBackendTest, HostStatusesMapToSelectionTimeOutOrPassThrough) {
  std::uint8_t in[8];
  struct Case {
    int host;
    std::uint8_t ha;
    std::uint8_t status;
  } cases[] = {{sgaspi::kDidNoConnect, HASTAT_SEL_TO, SS_ERR},
               {sgaspi::kDidBadTarget, HASTAT_SEL_TO, SS_ERR},
               {sgaspi::kDidTimeOut, HASTAT_SEL_TO, SS_ERR},
               {0x07, 0x07, SS_ERR},
               {0, 0, SS_COMP}};
  for (const Case& c : cases) {
    g_fake.host_status = c.host;
    SRB_ExecSCSICmd r = Request(0, 5, 0x08, SRB_DIR_IN, in, 8);
    EXPECT_EQ(SendASPI32Command(&r), c.status) << c.host;
    EXPECT_EQ(r.SRB_HaStat, c.ha) << c.host;
    EXPECT_EQ(r.SRB_Status, c.status);
  }
}

TEST_F(SgBackendTest, CheckConditionCopiesFourteenSenseBytes) {
  g_fake.target_status = STATUS_CHKCOND;
  g_fake.sense.assign(18, 0x70);
  g_fake.sense[2] = 0x05;
  std::uint8_t in[8];
  SRB_ExecSCSICmd r = Request(0, 2, 0x08, SRB_DIR_IN, in, 8);
  EXPECT_EQ(SendASPI32Command(&r), static_cast<std::uint32_t>(SS_ERR));
  EXPECT_EQ(r.SRB_TargStat, STATUS_CHKCOND);
  EXPECT_EQ(r.SenseArea[2], 0x05);
  EXPECT_EQ(r.SenseArea[13], 0x70);
  EXPECT_EQ(r.SenseArea[14], 0) << "only 14 bytes";
}

TEST_F(SgBackendTest, MissingTargetAndFailedIoctlAreSelectionTimeOuts) {
  std::uint8_t in[8];
  SRB_ExecSCSICmd r = Request(0, 3, 0x12, SRB_DIR_IN, in, 8);
  EXPECT_EQ(SendASPI32Command(&r), static_cast<std::uint32_t>(SS_ERR));
  EXPECT_EQ(r.SRB_HaStat, HASTAT_SEL_TO);
  EXPECT_TRUE(g_fake.opened.empty()) << "nothing opened for an empty ID";
  g_fake.result = -1;
  r = Request(0, 2, 0x12, SRB_DIR_IN, in, 8);
  EXPECT_EQ(SendASPI32Command(&r), static_cast<std::uint32_t>(SS_ERR));
  EXPECT_EQ(r.SRB_HaStat, HASTAT_SEL_TO);
  r = Request(5, 2, 0x12, SRB_DIR_IN, in, 8);
  EXPECT_EQ(SendASPI32Command(&r), static_cast<std::uint32_t>(SS_INVALID_HA));
}

TEST_F(SgBackendTest, AsynchronousCompletionWritesTheStatusLast) {
  sgaspi::Set_Synchronous(false);
  g_fake.in = {'2', 0, 0, 0, 0, 0, 0, 0};
  std::uint8_t in[8] = {};
  SRB_ExecSCSICmd r = Request(0, 2, 0x08, SRB_DIR_IN, in, 8);
  SendASPI32Command(&r);
  for (int i = 0; i < 5000 && std::atomic_ref<std::uint8_t>(r.SRB_Status).load() == SS_PENDING; ++i) usleep(1000);
  EXPECT_EQ(std::atomic_ref<std::uint8_t>(r.SRB_Status).load(), SS_COMP);
  EXPECT_EQ(in[0], '2');
}

}  // namespace
