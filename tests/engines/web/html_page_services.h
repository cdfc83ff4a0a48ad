// Orange.fr and Virgilio as the local fixture server plays them: their pages under the
// services' own host names, shared by the engine tests and the program test.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "tests/engines/web/page_scraping_services.h"

namespace tarvel::html_fixture {

using nlohmann::json;
using scraping_fixture::Route;

inline constexpr char kOrangeHost[] = "mobile.messagerie.orange.fr";
inline constexpr char kOrangeListPath[] = "/webappmail/waml/mailList.php";
inline constexpr char kOrangeSession[] = "wassup=signed-in";
inline constexpr char kVirgilioHost[] = "mail.virgilio.it";
inline constexpr char kVirgilioInbox[] = "/m/wmm/folder/INBOX/1?refresh=TRUE";
inline constexpr char kVirgilioLoginPath[] = "/m/wmm/login.jsf;jsessionid=AB12";
inline constexpr char kVirgilioSession[] = "wmm=s1";

inline std::string OrangeEntry(bool unread, const std::string& sender, const std::string& subject,
                               const std::string& date) {
  return std::string("<li class=\"navitem") + (unread ? " ws_navItemUnread\"" : "\"") +
         "><a><span class=\"ws_listSender\">" + sender + "</span><span class=\"ws_listSubject\">" +
         subject + "</span><span class=\"ws_listDate\">" + date + "</span></a></li>";
}

// Two unread entries, one read, and an unread one without a subject (dropped).
inline const std::string kOrangeList =
    "<html><body><ul class=\"navlist\">" +
    OrangeEntry(true, "Zo\xc3\xa9 Martin", "R\xc3\xa9union &amp; caf\xc3\xa9", "09:41") +
    OrangeEntry(false, "Read", "Old", "08:00") + OrangeEntry(true, "Alain", "Factures", "hier") +
    "<li class=\"navitem ws_navItemUnread\"><span class=\"ws_listSender\">No subject</span></li>" +
    "</ul></body></html>";

// The mobile inbox as Virgilio renders it: a bold sender marks an unread entry.
inline std::string VirgilioEntry(bool unread, const std::string& from, const std::string& subject,
                                 const std::string& date) {
  const std::string sender =
      unread ? "<b>&quot;" + from + "&quot; &lt;x@virgilio.it&gt;</b>" : "&quot;" + from + "&quot;";
  return "<div class=\"item-dxNoT\"><div class=\"row_mail_from\"><b>Da:</b>&nbsp;" + sender +
         "</div><div class=\"row_mail_element\"><b><a href=\"/m/wmm/read/1\">" + subject +
         "</a></b></div><div class=\"row_mail_date\">" + date +
         " - 09:30</div></div><div class=\"b\"></div>";
}

// Two unread entries and one read.
inline const std::string kVirgilioInboxPage =
    "<html><head><title>Virgilio Mail - In arrivo</title></head><body>" +
    VirgilioEntry(true, "Anna Rossi", "Cena di venerd&igrave;", "10/12/2026") +
    VirgilioEntry(false, "Letto", "Vecchio", "09/12/2026") +
    VirgilioEntry(true, "Tom &amp; Jerry", "Biglietti", "08/12/2026") + "</body></html>";

inline const std::string kVirgilioLoginPage =
    std::string("<html><head><title>Virgilio Mail - Login</title></head><body>") +
    "<form id=\"f\" method=\"post\" action=\"" + kVirgilioLoginPath +
    "\" enctype=\"multipart/form-data\"><input name=\"user\"/><input name=\"pass\"/>"
    "<input type=\"hidden\" name=\"javax.faces.ViewState\" id=\"javax.faces.ViewState\" "
    "value=\"j_id3:j_id4\" /></form></body></html>";

// Both services for a signed-in user: Orange.fr's list for the sign-in cookie; Virgilio's
// inbox after a form login that carries `password`, the sign-in page before.
inline json SignedInRoutes(const std::string& password) {
  return json::array({
      Route(kOrangeHost, kOrangeListPath, kOrangeList, {{"cookie", kOrangeSession}}),
      Route(kVirgilioHost, kVirgilioLoginPath, "<html>ok</html>",
            {{"method", "POST"},
             {"body_contains", password},
             {"headers", json::array({json::array(
                             {"Set-Cookie", std::string(kVirgilioSession) + "; path=/"})})}}),
      Route(kVirgilioHost, kVirgilioInbox, kVirgilioInboxPage, {{"cookie", kVirgilioSession}}),
      Route(kVirgilioHost, kVirgilioInbox, kVirgilioLoginPage),
  });
}

}  // namespace tarvel::html_fixture
