#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>

#include <cstdlib>
#include <string>
#include <vector>

#include "accounts/account_type.h"
#include "accounts/check_in_relay.h"
#include "accounts/global_settings.h"
#include "accounts/option_flags.h"
#include "accounts/settings_store.h"
#include "engines/protocol/imap_engine.h"
#include "tests/support/dovecot_server.h"
#include "tests/support/fake_clock.h"
#include "tests/support/temp_folder.h"
#include "ui/options/account_page.h"

namespace tarvel {
namespace {

// An IMAP account set up on its page, as a user types it, checks against a real server with
// the settings the page stored.
TEST(AccountSetupServerTest, AnImapAccountSetUpOnItsPageChecks) {
  testing::DovecotServer server;
  ASSERT_TRUE(server.started()) << "Dovecot did not start";
  ::setenv("TARVEL_CA_FILE", server.caFile().c_str(), 1);
  ::setenv("TARVEL_CONNECT_TO", server.connectTo().c_str(), 1);
  ASSERT_TRUE(server.Deliver("tester", "INBOX",
                             "From: Alice Example <alice@example.com>\r\n"
                             "Subject: set up by hand\r\n\r\nbody\r\n"));

  testing::TempFolder folder;
  SettingsStore store;
  ASSERT_TRUE(store.open(SettingsMode::IniFile, nullptr, {}, folder.file("tarvel.ini")));
  GlobalSettings globals;
  OptionFlags flags;
  OptionsContext context;
  context.store = &store;
  context.globals = &globals;
  context.flags = &flags;
  context.readerList = [](const AccountTypeInfo&) { return std::vector<ReaderListEntry>{}; };

  const AccountTypeInfo& imap = *FindAccountType(0x8000);
  AccountPage page(imap, context);
  page.enableBox()->setChecked(true);
  static_cast<QComboBox*>(page.field(u"IMAPServer"))->setEditText(u"imap.example.com:993"_qs);
  static_cast<QLineEdit*>(page.field(u"IMAPUser"))->setText(u"tester"_qs);
  static_cast<QLineEdit*>(page.field(u"IMAPPassword"))->setText(u"s3cret"_qs);
  page.Save();
  EXPECT_TRUE(flags.any(imap.selectBit));

  testing::FakeClock clock;
  CheckInRelay relay;
  ImapEngineServices services{clock, flags, nullptr, &relay, nullptr, ZARQUET_LIBRARY_PATH};
  ImapEngine engine(imap, 0, services);
  engine.LoadSettings(store);
  EXPECT_EQ(engine.Check(), CheckStatus::Success);
  ASSERT_EQ(engine.mails.count(), 1u);
  EXPECT_EQ(engine.mails.first()->subject, u"set up by hand");
  ::unsetenv("TARVEL_CA_FILE");
  ::unsetenv("TARVEL_CONNECT_TO");
}

}  // namespace
}  // namespace tarvel
