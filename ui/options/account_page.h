#pragma once

#include <QString>

#include <memory>
#include <vector>

#include "engines/protocol/imap_engine.h"
#include "ui/options/options_page.h"

class QCheckBox;
class QComboBox;
class QFormLayout;
class QLabel;
class QPushButton;
class QListWidget;
class QPushButton;

namespace tarvel {

// What the embedded browser needs and this system lacks (the browser helper beside the
// program, Qt WebEngine), named for the user; empty when it can start.
QString MissingEmbeddedBrowserParts();

// The page of one account type, built from the table of account pages: the check box that
// switches the type on, its mail reader, its web mail page and the type's own fields; for
// the web accounts the link that changes the signed-in account, and the notice when the
// embedded browser cannot start. Nothing typed is checked; passwords and the other secrets
// are shown masked or not at all and stored only in their protected form.
class AccountPage : public OptionsPage {
  Q_OBJECT

 public:
  AccountPage(const AccountTypeInfo& type, OptionsContext& context, QWidget* parent = nullptr);
  ~AccountPage() override;

  void Save() override;

  QCheckBox* enableBox() const { return enable_; }
  QComboBox* readerList() const { return reader_; }
  QComboBox* websiteList() const { return website_; }
  // The type's own field for a stored value name; null when the page has none.
  QWidget* field(std::u16string_view setting) const;
  QListWidget* folderList() const { return folders_; }
  QLabel* changeAccountLink() const { return changeAccount_; }
  QPushButton* webSignInButton() const { return signIn_; }
  QLabel* browserNotice() const { return browserNotice_; }
  // The notice that the type's outside library is missing; null when it is there.
  QLabel* libraryNotice() const { return libraryNotice_; }
  // An IMAP slot's OAuth2 sign-in: the button, its status line and the device flow's code;
  // null on other pages and without a sign-in service. Shown for a provider's server with an
  // OAuth2 method.
  QPushButton* signInButton() const { return signInButton_; }
  QLabel* signInStatus() const { return signInStatus_; }
  QLabel* deviceCodeText() const { return deviceCode_; }

 private:
  struct Field;
  // The OAuth2 sign-in rows of an IMAP slot.
  void AddSignIn(QFormLayout& form, const ImapSettingNames& names);
  void ShowSignInStatus(const QString& text);

  const AccountTypeInfo& type_;
  OptionsContext& context_;
  QCheckBox* enable_ = nullptr;
  QComboBox* reader_ = nullptr;
  QComboBox* website_ = nullptr;
  std::u16string websiteSetting_;
  std::vector<Field> fields_;
  QListWidget* folders_ = nullptr;
  std::u16string folderListSetting_;
  std::u16string foldersGroup_;
  QLabel* changeAccount_ = nullptr;
  QPushButton* signIn_ = nullptr;
  QLabel* browserNotice_ = nullptr;
  QLabel* libraryNotice_ = nullptr;
  uint32_t imapSlot_ = 0;
  QPushButton* signInButton_ = nullptr;
  QLabel* signInStatus_ = nullptr;
  QLabel* deviceCode_ = nullptr;
  bool signInStarted_ = false;  // by this page: cancelled when the page goes
};

// The account page of a type, for the options dialog.
std::unique_ptr<OptionsPage> CreateAccountPage(const AccountTypeInfo& type, OptionsContext& context,
                                               QWidget* parent);

}  // namespace tarvel
