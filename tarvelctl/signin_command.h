#pragma once

#include "tarvelctl/store_options.h"

namespace tarvel::ctl {

// "tarvelctl signin SLOT [--browser COMMAND]": the OAuth2 sign-in of an IMAP account (slot 1
// to 3) in the desktop's browser (xdg-open, or COMMAND with the address as its argument),
// back to a one-shot listener on 127.0.0.1; the device flow shows its code instead. Returns 0
// when signed in, 1 when it failed, 2 for bad arguments or a sign-in that did not complete.
int RunSigninCommand(const StoreOptions& options, int argc, char* argv[]);

}  // namespace tarvel::ctl
