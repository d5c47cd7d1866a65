// Who makes the program: shown in the banner and in the crash-dump message.
#pragma once

#define QB_MAKER_NAME     "the Quenbrax project"
#define QB_MAKER_WEBSITE  "https://quenbrax.example.org"
#define QB_SUPPORT_EMAIL  "support@quenbrax.example.org"
