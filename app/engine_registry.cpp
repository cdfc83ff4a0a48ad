#include "app/engine_registry.h"

#include "accounts/account_type_bits.h"
#include "accounts/option_flags.h"
#include "accounts/pending_engine.h"
#include "engines/protocol/ews_engine.h"
#include "engines/protocol/gmail_engine.h"
#include "engines/protocol/imap_engine.h"
#include "engines/protocol/inotes_engine.h"
#include "engines/protocol/mapi_engine.h"
#include "engines/protocol/notes_engine.h"
#include "engines/web/linkedin_engine.h"
#include "engines/web/mail_ru_engine.h"
#include "engines/web/o2_engine.h"
#include "engines/web/orange_engine.h"
#include "engines/web/outlook_engine.h"
#include "engines/web/script_engines.h"
#include "engines/web/sfr_engine.h"
#include "engines/web/virgilio_engine.h"
#include "engines/web/yahoo_engine.h"
#include "engines/web/yandex_engine.h"
#include "engines/web/zoho_engine.h"
#include "platform/clock.h"

namespace tarvel {

uint32_t ImapSlotOf(const AccountTypeInfo& type) {
  uint32_t slot = 0;
  for (const AccountTypeInfo& row : kAccountTypes) {
    if (row.typeBit == type.typeBit)
      break;
    if (row.engine == EngineKind::Imap)
      ++slot;
  }
  return slot;
}

std::unique_ptr<MailEngine> CreateEngine(const AccountTypeInfo& type,
                                         const EngineContext& context) {
  switch (type.engine) {
    case EngineKind::Imap: {
      // Without the program's own clock and option word the engine runs on stand-ins.
      static SystemClock fallbackClock;
      static OptionFlags fallbackFlags;
      const ImapEngineServices services{
          context.clock ? *context.clock : fallbackClock,
          context.flags ? *context.flags : fallbackFlags,
          context.settings,
          context.checkIn,
          context.tokenRefresher,
          {},
          context.trace,
      };
      auto engine = std::make_unique<ImapEngine>(type, ImapSlotOf(type), services);
      if (context.settings)
        engine->LoadSettings(*context.settings);
      return engine;
    }
    case EngineKind::Ews:
      return CreateEwsEngine(type, context.settings);
    case EngineKind::Yandex:
      return CreateYandexEngine(type, context.settings);
    case EngineKind::Zoho:
      return CreateZohoEngine(type, context.settings);
    case EngineKind::MailRu:
      return CreateMailRuEngine(type, context.settings);
    case EngineKind::O2pl:
      return CreateO2Engine(type, context.settings);
    case EngineKind::Sfr:
      return CreateSfrEngine(type, context.settings);
    case EngineKind::LinkedIn:
      return CreateLinkedInEngine(type, context.settings);
    case EngineKind::OrangeFr:
      return CreateOrangeEngine(type, context.settings);
    case EngineKind::Virgilio:
      return CreateVirgilioEngine(type, context.settings, context.mainThread);
    case EngineKind::Facebook:
      return CreateMessengerEngine(type, context.settings);
    case EngineKind::Twitter:
      return CreateTwitterEngine(type, context.settings);
    case EngineKind::Yahoo:
      return CreateYahooEngine(type, context.settings);
    case EngineKind::GMailFeed:
      return CreateGmailEngine(type, context.settings);
    case EngineKind::Outlook:
      // Two types share the kind: the classic sign-in and the browser's.
      if (type.typeBit == type_bits::kOutlookAlternative)
        return CreateOutlookAltEngine(type, context.settings);
      return CreateOutlookEngine(type, context.settings);
    case EngineKind::Mapi:
      return std::make_unique<MapiEngine>(type, SharedMapiLibrary(), context.trace);
    case EngineKind::Notes: {
      NotesEngine::Services services;
      services.settings = context.settings;
      services.mainThread = context.mainThread;
      services.trace = context.trace;
      return std::make_unique<NotesEngine>(type, std::move(services));
    }
    case EngineKind::INotes: {
      auto engine = std::make_unique<INotesEngine>(type);
      if (context.settings)
        engine->LoadSettings(*context.settings);
      return engine;
    }
    default:
      return std::make_unique<PendingEngine>(type);
  }
}

}  // namespace tarvel
