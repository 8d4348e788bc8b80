// The marks of the program's own texts: _("...") is shown translated, N_("...")
// only marks a text that is translated where it is shown. The catalogue
// template is made from these marks (po/make_pot.sh). Kept apart from
// translate.h because `_` means something else to some libraries (GoogleMock).
#pragma once

#include "platform/translate.h"

#define _(text) Tr_literal(text)
#define N_(text) text
