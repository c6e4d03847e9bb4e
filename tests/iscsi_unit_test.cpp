// The iSCSI unit's factory: what it says when it cannot reach a LUN.
#include "iscsi_unit.h"
#include "tgt_target.h"

#include <gtest/gtest.h>

namespace {

struct ErrorCase {
  const char *name;
  std::string url;
  const char *says;
};

void ExpectRefused(const ErrorCase &c) {
  sim::IscsiOptions options;
  options.timeoutMs = 5'000;
  sim::IscsiConnection connection = sim::ConnectIscsiUnit(c.url, options);
  EXPECT_EQ(connection.unit, nullptr) << c.name;
  EXPECT_NE(connection.error.find(c.says), std::string::npos) << c.name << ": " << connection.error;
  EXPECT_EQ(connection.error.find('\n'), std::string::npos) << c.name << ": one line";
}

TEST(IscsiUnit, FactoryReportsAUrlItCannotUseOrAPortalThatIsNotThere) {
  if (!sim::IscsiSupported()) {
    sim::IscsiConnection connection = sim::ConnectIscsiUnit("iscsi://127.0.0.1/iqn.x/1");
    EXPECT_EQ(connection.unit, nullptr);
    EXPECT_NE(connection.error.find("no iSCSI support"), std::string::npos) << connection.error;
    return;
  }
  // Port 1 on the loopback: nobody listens there.
  const ErrorCase cases[] = {
      {"no URL", "bogus", "not an iSCSI URL"},
      {"no LUN", "iscsi://127.0.0.1/iqn.2024-01.sim.kav:none", "not an iSCSI URL"},
      {"closed port", "iscsi://127.0.0.1:1/iqn.2024-01.sim.kav:none/1",
       "cannot connect to iscsi://127.0.0.1:1/iqn.2024-01.sim.kav:none/1: Connection refused"},
  };
  for (const ErrorCase &c : cases) {
    ExpectRefused(c);
  }
}

TEST(IscsiUnit, FactoryReportsATargetOrLunThePortalDoesNotHave) {
  std::string reason = TgtTarget::skipReason();
  if (!reason.empty()) {
    GTEST_SKIP() << reason;
  }
  TgtTarget tgt(1024 * 1024);
  std::string error;
  ASSERT_TRUE(tgt.start(error)) << error;
  const std::string portal = "iscsi://127.0.0.1:" + std::to_string(tgt.port()) + "/";
  const ErrorCase cases[] = {
      {"unknown target", portal + "iqn.2024-01.sim.kav:elsewhere/1", "cannot connect to"},
      {"missing LUN", portal + tgt.iqn() + "/5", "cannot connect to"},
  };
  for (const ErrorCase &c : cases) {
    ExpectRefused(c);
  }
  sim::IscsiConnection connection = sim::ConnectIscsiUnit(tgt.url());
  ASSERT_NE(connection.unit, nullptr) << connection.error;
  EXPECT_TRUE(connection.unit->online());
  EXPECT_EQ(connection.unit->blockSize(), 512u);
  EXPECT_TRUE(connection.unit->lastError().empty());
}

} // namespace
