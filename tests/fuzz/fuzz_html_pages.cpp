// The page readers of the HTML page and script-driven engines. The first byte picks the
// reader; the rest is the page: bytes one per code unit as the HTTP client hands them over,
// or UTF-8 text as the browser helper does.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "accounts/account_type.h"
#include "engines/web/orange_engine.h"
#include "engines/web/script_engines.h"
#include "engines/web/virgilio_engine.h"
#include "engines/web/yahoo_engine.h"

namespace {

const tarvel::AccountTypeInfo& TypeOf(tarvel::EngineKind kind) {
  for (const tarvel::AccountTypeInfo& type : tarvel::kAccountTypes) {
    if (type.engine == kind)
      return type;
  }
  return tarvel::kAccountTypes[0];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarvel;
  if (size == 0)
    return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  const Text answer = Text::FromBytes(bytes);
  const Text text = Text::FromUtf8(bytes);
  switch (data[0] % 5) {
    case 0: {
      OrangeEngine engine(TypeOf(EngineKind::OrangeFr));
      engine.ReadMailList(answer);
      break;
    }
    case 1: {
      VirgilioEngine engine(TypeOf(EngineKind::Virgilio));
      engine.ReadInbox(answer);
      Text path;
      Text viewState;
      VirgilioEngine::ReadLoginForm(answer, &path, &viewState);
      break;
    }
    case 2: {
      YahooEngine engine(TypeOf(EngineKind::Yahoo),
                         [](const Text&, Text*, std::uint32_t) { return false; });
      engine.ReadPage(text);
      break;
    }
    case 3: {
      MessengerEngine engine(TypeOf(EngineKind::Facebook), [] { return nullptr; });
      engine.ReadConversations(text);
      break;
    }
    default: {
      TwitterEngine engine(TypeOf(EngineKind::Twitter), [] { return nullptr; });
      engine.ReadConversations(text);
      break;
    }
  }
  return 0;
}
