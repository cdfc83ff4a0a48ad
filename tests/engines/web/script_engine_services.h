// The web apps of Messenger, X and Yahoo as the local fixture server plays them: pages that
// render their lists with JavaScript after a delay, as the real apps do, and a sign-in page
// that leaves the session cookie in the shared browser profile. Shared by the engine tests
// through the browser helper and the program test.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace tarvel::script_fixture {

using nlohmann::json;

inline constexpr char kHtml[] = "text/html; charset=utf-8";

inline json Route(const std::string& host, const std::string& path, const std::string& body,
                  const std::string& cookie = {}, json headers = json::array()) {
  headers.push_back(json::array({"Content-Type", kHtml}));
  json route = {
      {"host", host}, {"path", path}, {"status", 200}, {"body", body}, {"headers", headers}};
  if (!cookie.empty())
    route["cookie"] = cookie;
  return route;
}

inline json Redirect(const std::string& host, const std::string& path, const std::string& to,
                     const std::string& cookie = {}) {
  json route = Route(host, path, "", cookie, json::array({json::array({"Location", to})}));
  route["status"] = 302;
  return route;
}

// "/test-sign-in" on the host sets the session cookie for the domain.
inline json SignInRoute(const std::string& host, const std::string& cookie,
                        const std::string& domain) {
  return Route(host, "/test-sign-in", "<html><body>signed in</body></html>", {},
               json::array({json::array({"Set-Cookie", cookie + "; Domain=" + domain +
                                                           "; Path=/; Max-Age=3600; Secure"})}));
}

// A page whose body the app's script fills after a delay, as the real apps render.
inline std::string RenderedLater(const std::string& html, const std::string& extraScript = {}) {
  json text = html;
  return "<html><head><meta charset=\"utf-8\"></head><body><p>Loading</p><script>" + extraScript +
         "setTimeout(function(){document.body.innerHTML = " + text.dump() +
         ";}, 300);</script></body></html>";
}

// One Messenger list row in the layout the conversation script walks.
inline std::string MessengerRow(const std::string& user, const std::string& text, int markers) {
  std::string unread;
  for (int i = 0; i < markers; ++i)
    unread += "<span></span>";
  const std::string time = "<div><div><span><div><span>1m</span></div></span></div></div>";
  return "<div role=\"row\"><div><div><div><div></div><div><div><div>"
         "<div><div><div><span><span>" +
         user +
         "</span></span></div></div></div>"
         "<div><span><span>a</span></span><span><span>b</span></span><span><span>" +
         text + "</span></span>" + time + time + time +
         "</div>"
         "<div><div><div><div>" +
         unread + "</div></div></div></div>" + "</div></div></div></div></div></div></div>";
}

inline std::string MessengerList(const std::vector<std::string>& rows) {
  std::string grid = "<div role=\"grid\"><div role=\"row\" data-visualcompletion=\"x\"></div>";
  for (const std::string& row : rows)
    grid += row;
  return grid + "</div>";
}

inline std::string XConversation(const std::string& name, const std::string& handle,
                                 const std::string& text, int weight, const std::string& time) {
  return "<div data-testid=\"conversation\"><div>" + name + "<br>" + handle +
         "</div><time datetime=\"" + time + "\">1h</time><span data-testid=\"tweetText\" " +
         "style=\"font-weight:" + std::to_string(weight) + "\">" + text + "</span></div>";
}

inline constexpr char kMessengerBare[] = "messenger.com";
inline constexpr char kMessenger[] = "www.messenger.com";
inline constexpr char kMessengerSession[] = "c_user=100001";
inline constexpr char kX[] = "x.com";
inline constexpr char kXSession[] = "auth_token=signed-in";
inline constexpr char kYahoo[] = "mail.yahoo.com";
inline constexpr char kYahooSession[] = "T=signed-in";

// Two rows with one unread marker (reported), one with two and one read (not reported).
inline const std::string kMessengerRows =
    MessengerList({MessengerRow("Zo\xc3\xa9 Martin", "Caf\xc3\xa9 at 5?", 1),
                   MessengerRow("Two Markers", "skipped", 2), MessengerRow("Read", "old", 0),
                   MessengerRow("Ann", "See you", 1)});

// Signed in, the bare host's conversation path leads to a conversation; signed out, to the
// sign-in page.
inline json MessengerRoutes(const std::string& conversationPage) {
  return json::array({
      SignInRoute(kMessenger, kMessengerSession, "messenger.com"),
      Redirect(kMessengerBare, "/t/", "https://www.messenger.com/t/100001/", kMessengerSession),
      Redirect(kMessengerBare, "/t/", "https://www.messenger.com/login/"),
      Route(kMessenger, "/t/100001/", conversationPage, kMessengerSession),
      Route(kMessenger, "/login/", "<html><body><form>Log in</form></body></html>"),
      Route(kMessenger, "/popup", "<html><body>popup</body></html>"),
  });
}

// The direct-message inbox: two conversations in the medium weight (unread), one read.
inline json XRoutes() {
  const std::string inbox =
      RenderedLater(XConversation("Ann Lee", "@ann", "Hi there", 500, "2026-12-10T09:30:00.000Z") +
                    XConversation("Read One", "@read", "old", 400, "2026-12-10T10:00:00.000Z") +
                    XConversation("Bo", "@bo", "Later", 500, "2026-12-11T08:00:00.000Z"));
  const std::string signedIn =
      "<script type=\"application/json\">{\"screen_name\":\"joe\"}</script>";
  return json::array({
      SignInRoute(kX, kXSession, "x.com"),
      Route(kX, "/messages/", signedIn + inbox, kXSession),
      Route(kX, "/messages/", "<html><body>Sign in to X</body></html>"),
  });
}

// The inbox page with one unread message; signed out, the sign-in form.
inline json YahooRoutes() {
  const std::string list =
      "<div data-test-id=\"content-area\"><ul><li><a data-test-id=\"message-list-item\" "
      "data-test-read=\"false\"><strong class=\"s\">Grace</strong><span "
      "data-test-id=\"message-subject\" title=\"Plans\">Plans</span><div class=\"x date\" "
      "role=\"gridcell\"><span>9:41 AM</span></div></a></li></ul></div>";
  return json::array({
      SignInRoute(kYahoo, kYahooSession, "yahoo.com"),
      Route(kYahoo, "/n/inbox/all", list, kYahooSession),
      Route(kYahoo, "/n/inbox/all",
            "<form id=\"login-username-form\" method=\"post\"><input name=\"u\"></form>"),
  });
}

}  // namespace tarvel::script_fixture
