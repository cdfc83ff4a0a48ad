// The answer readers of the page-scraping engines. The first byte picks the reader; the rest
// is the answer, handed over as the HTTP client does (one code unit per byte).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "accounts/account_type.h"
#include "engines/web/linkedin_engine.h"
#include "engines/web/mail_ru_engine.h"
#include "engines/web/o2_engine.h"
#include "engines/web/sfr_engine.h"
#include "engines/web/yandex_engine.h"
#include "engines/web/zoho_engine.h"

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
  const Text answer =
      Text::FromBytes(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
  switch (data[0] % 7) {
    case 0: {
      YandexEngine engine(TypeOf(EngineKind::Yandex));
      engine.ReadMessages(answer);
      break;
    }
    case 1: {
      ZohoEngine engine(TypeOf(EngineKind::Zoho));
      engine.ReadListing(answer);
      break;
    }
    case 2: {
      MailRuEngine engine(TypeOf(EngineKind::MailRu));
      engine.ReadStatus(answer);
      break;
    }
    case 3: {
      O2Engine engine(TypeOf(EngineKind::O2pl));
      engine.ReadMailList(answer);
      break;
    }
    case 4: {
      SfrEngine engine(TypeOf(EngineKind::Sfr));
      engine.ReadHeaderList(answer);
      break;
    }
    case 5: {
      LinkedInEngine engine(TypeOf(EngineKind::LinkedIn), nullptr);
      engine.ReadMessagingPage(answer);
      break;
    }
    default: {
      Text host;
      Text path;
      O2Engine::ContinueAddress(answer, &host, &path);
      break;
    }
  }
  return 0;
}
