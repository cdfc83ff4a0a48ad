// The six page-scraping services as the local fixture server plays them: canned answers of
// each service's paths, shared by the engine tests and the program test.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "platform/base64.h"

namespace tarvel::scraping_fixture {

using nlohmann::json;

// A canned answer of the fixture server.
inline json Route(const std::string& host, const std::string& path, const std::string& body,
                  json extra = json::object()) {
  json route = {
      {"host", host}, {"path", path}, {"status", 200}, {"body_base64", EncodeBase64(body)}};
  route.update(extra);
  return route;
}

inline json ErrorPage(const std::string& host, const std::string& path, int status = 503) {
  return Route(host, path, "<html><body><h1>Service unavailable</h1></body></html>",
               {{"status", status}});
}

inline constexpr char kYandexHost[] = "mail.yandex.ru";
inline constexpr char kYandexModels[] = "/touch/api/models?_m=messages";

inline const std::string kYandexPage =
    "<html><body><form><input type=\"hidden\" name=\"_ckey\" value=\"ab/c+d==\"></form>"
    "<script>var cfg = {\"exp-boxes\":\"31,0,5;42,0,1\",\"eexp-boxes\":\"7,1;8 9\"};</script>"
    "</body></html>";

inline const std::string kYandexMessages = R"({"models":[{"model":"messages","data":{"messages":[
  {"new":"1","field":[{"type":"to","name":"Me"},
     {"type":"from","name":"Grace Hopper","email":"grace@example.com"}],
   "subject":"Caf\u00e9 & cake","date":{"iso":"2026-12-09T09:30:01"}},
  {"new":"0","field":[{"type":"from","name":"Read"}],"subject":"Old",
   "date":{"iso":"2026-12-09T10:00:00"}},
  {"new":"1","field":[{"type":"from","name":"","email":"ada@example.com"}],
   "subject":"Quarterly figures","date":{"iso":"2026-12-08T16:04:12"}},
  {"new":"1","field":[{"type":"from","name":"No subject"}],"date":{"iso":"2026-12-10"}},
  {"new":"1","field":[{"type":"from","name":"No date"}],"subject":"x"}
]}}]})";

inline json YandexRoutes(const std::string& page, const std::string& models) {
  return json::array({Route(kYandexHost, "/", page),
                      Route(kYandexHost, kYandexModels, models, {{"method", "POST"}})});
}

inline constexpr char kZohoHost[] = "mail.zoho.com";
inline const std::string kZohoPage = "<script>zmail.accId = \"5501234\"; zmail.x = \"y\";</script>";
inline const std::string kZohoListing = R"({"status":"ok","data":[
  {"SB":"Invoice 12","SN":"Grace Hopper","R":"1765272601000"},
  {"SB":"Caf\u00e9","SN":"Ada","R":"1765200000000"},
  {"SB":"lacks a sender","R":"1765300000000"},
  {"SB":"after the gap","SN":"Not read","R":"1765400000000"}]})";

inline json ZohoRoutes(const std::string& page, const std::string& listing) {
  return json::array({Route(kZohoHost, "/zm/", page),
                      Route(kZohoHost, "/zm/ml.do", listing, {{"method", "POST"}})});
}

inline constexpr char kMailRuHost[] = "touch.mail.ru";
inline const std::string kMailRuPage =
    "<script>mailru.user = 'joe+news@mail.ru'; mailru.token = \"t0k-9\";</script>";
inline const std::string kMailRuStatus = R"({"status":200,"body":{"messages":[
  {"flags":{"unread":true},"correspondents":{"from":[{"name":"Tom &amp; Jerry &quot;TJ&quot;",
     "email":"tj@mail.ru"}]},"subject":"\u041f\u0440\u0438\u0432\u0435\u0442","date":1765272601},
  {"flags":{"unread":false},"correspondents":{"from":[{"name":"Read"}]},"subject":"x",
   "date":1765272602},
  {"flags":{"unread":true},"correspondents":{"from":[{"name":"","email":"anna@mail.ru"}]},
   "subject":"Second","date":1765200000},
  {"flags":{"unread":true},"correspondents":{"from":[]},"subject":"no sender","date":1}]}})";

inline json MailRuRoutes(const std::string& page, const std::string& status) {
  return json::array({Route(kMailRuHost, "/messages/", page),
                      Route(kMailRuHost, "/api/v1/messages/status", status)});
}

inline constexpr char kO2Api[] = "api.o2.pl";
inline constexpr char kO2Mobile[] = "poczta.o2.pl";
inline constexpr char kO2Script[] = "/v1/remember_me/poczta.o2.pl/login.js";
// A ".pl" before the address: the path runs from the host's end, not from the first ".pl".
inline const std::string kO2Continue =
    "/* served by api.o2.pl */ window.location.replace(\"//poczta.o2.pl/?folder=inbox&s=1\");";
inline const std::string kO2List = R"({"response":{"data":{"maillist":{"mail":[
  {"_flags":"3","_from":"Jan &amp; Ewa","_subject":"Za\u017c\u00f3\u0142\u0107","_dateraw":"1765272601"},
  {"_flags":2,"_from":"Read","_subject":"read","_dateraw":"1765272602"},
  {"_flags":1,"_from":"Kasia","_subject":"Drugi","_dateraw":"1765200000"},
  {"_flags":"-1","_from":"Bad","_subject":"bad flags","_dateraw":"1"},
  {"_flags":"x","_from":"Bad","_subject":"bad flags","_dateraw":"1"}]}}}})";

inline json O2Routes(const std::string& script, const std::string& list, bool setsSession = true) {
  json continuation = Route(kO2Mobile, "/", "<html>inbox</html>", {{"scheme", "http"}});
  if (setsSession)
    continuation["headers"] = json::array({json::array({"Set-Cookie", "ssid=s3ss+1; Path=/"})});
  return json::array({Route(kO2Api, kO2Script, script, {{"scheme", "https"}}), continuation,
                      Route(kO2Mobile, "/a", list, {{"scheme", "http"}})});
}

inline constexpr char kSfrHost[] = "messagerie.sfr.fr";
inline constexpr char kSfrList[] = "/webmail/xml/getMailHeaderList.json";
inline const std::string kSfrHeaders = R"({"response":{"mailHeader":[
  {"unread":"1","subject":"Votre facture","from":"Fr\u00e9d\u00e9ric","date":"2026-12-09 09:30:01"},
  {"unread":"0","subject":"lu","from":"x","date":"2026-12-09 10:00:00"},
  {"unread":"1","subject":"Rappel","from":"SFR","date":"2026-12-08 16:04:12"},
  {"unread":"1","subject":"sans date","from":"y"}]}})";

inline json SfrRoutes(const std::string& list,
                      const std::string& redirect = "https://messagerie.sfr.fr/webmail/") {
  return json::array({
      Route("webmail.sfr.fr", "/", "",
            {{"status", 302}, {"headers", json::array({json::array({"Location", redirect})})}}),
      Route(kSfrHost, "/webmail/", "<html>webmail</html>"),
      Route(kSfrHost, "/webmail/mailbox.html", "<html>mailbox</html>"),
      Route(kSfrHost, kSfrList, list, {{"method", "POST"}}),
  });
}

inline constexpr char kLinkedInHost[] = "www.linkedin.com";

// The app's data as the messaging page embeds it: in a code element, quotes as "&quot;".
inline std::string LinkedInPage(const std::string& data) {
  std::string escaped;
  for (const char c : data) {
    if (c == '"')
      escaped += "&quot;";
    else
      escaped += c;
  }
  return "<html><body><code style=\"display: none\" id=\"bpr-guid-1\">{&quot;request&quot;:1}"
         "</code><code style=\"display: none\" id=\"bpr-guid-2\">" +
         escaped + "</code></body></html>";
}

inline const std::string kLinkedInData = R"({"data":{"metadata":{"unreadCount":2},"entityUrn":"x"},
"included":[
 {"$type":"com.linkedin.voyager.messaging.Event","*from":"urn:li:member:1",
  "createdAt":1765272601000,"eventContent":{"attributedBody":{"text":"Hello <b>there</b>"}}},
 {"$type":"com.linkedin.voyager.messaging.MessagingMember","entityUrn":"urn:li:member:1",
  "*miniProfile":"urn:li:fs_miniProfile:A"},
 {"$type":"com.linkedin.voyager.identity.shared.MiniProfile","entityUrn":"urn:li:fs_miniProfile:A",
  "firstName":"Grace","lastName":"Hopper"},
 {"$type":"com.linkedin.voyager.messaging.MessagingMember","entityUrn":"urn:li:member:2",
  "*miniProfile":"urn:li:fs_miniProfile:B"},
 {"$type":"com.linkedin.voyager.identity.shared.MiniProfile","entityUrn":"urn:li:fs_miniProfile:B",
  "firstName":"Ren\u00e9","lastName":null},
 {"$type":"com.linkedin.voyager.messaging.Event","*from":"urn:li:member:2",
  "createdAt":1765200000000,"eventContent":{"subject":"Job offer"}},
 {"$type":"com.linkedin.voyager.messaging.Event","*from":"urn:li:member:9",
  "createdAt":1765300000000,"eventContent":{"subject":"unknown sender"}}]})";

inline json LinkedInRoutes(const std::string& page) {
  return json::array({Route(kLinkedInHost, "/messaging/", page, {{"scheme", "http"}})});
}

// The routes of all six services at once.
inline json AllServices() {
  json routes = json::array();
  for (const json& part :
       {YandexRoutes(kYandexPage, kYandexMessages), ZohoRoutes(kZohoPage, kZohoListing),
        MailRuRoutes(kMailRuPage, kMailRuStatus), O2Routes(kO2Continue, kO2List),
        SfrRoutes(kSfrHeaders), LinkedInRoutes(LinkedInPage(kLinkedInData))}) {
    for (const json& route : part)
      routes.push_back(route);
  }
  return routes;
}

}  // namespace tarvel::scraping_fixture
