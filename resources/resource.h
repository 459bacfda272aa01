// Ids of every resource of the program: the dialog templates, their controls
// and the tray menu (dialog_ids.h), the icon, and the string table.
#pragma once

#include "dialog_ids.h"

#define IDS_SPECIFY_LANGUAGE          111
#define IDS_CONNECTION_FAILED         112
#define IDS_WAITING_FOR_GAME          113
#define IDS_LAUNCHING_GAME            114
#define IDS_LAUNCH_FAILED             115
#define IDS_LOADING_LOGS              116
#define IDS_LOG_TAB                   117
#define IDS_CONFIG_TAB                118
#define IDS_MONITORING_LOGS           120
#define IDS_SEARCHING_LOGS            121
#define IDS_AUTHENTICATION_REQUIRED   123
#define IDS_DIRECTX9_UNSUPPORTED      124
#define IDS_INFORMATION               125
#define IDS_PLAYER_ID_REFUSED         126
#define IDS_REPORTS_WAITING           127
#define IDS_REPORTS_NOT_SENT          128
#define IDS_REPORTS_DROPPED           129
#define IDS_WAITING_FOR_SERVER        130
#define IDS_LAST_RUN_REPORTS_SENT     131
#define IDS_JOURNAL_DAMAGED           132
#define IDS_JOURNAL_OTHER_VERSION     133
#define IDS_JOURNAL_UNUSABLE          134
#define IDS_CERTIFICATE_UNTRUSTED     135
#define IDS_CERTIFICATE_OTHER_NAME    136
#define IDS_CERTIFICATE_OUT_OF_DATE   137
#define IDS_CERTIFICATE_REVOKED       138
#define IDS_CERTIFICATE_REVOCATION_UNKNOWN 139
#define IDS_CERTIFICATE_CLIENT_ASKED  140
#define IDS_CERTIFICATE_UNUSABLE      141
#define IDS_START_CERTIFICATE_REFUSED 142
#define IDS_JOURNAL_NOT_WRITTEN       150
#define IDS_REPORT_GIVEN_UP           151
#define IDS_JOURNAL_SET_ASIDE         152
#define IDS_JOURNAL_READ_ONLY         153
#define IDS_LINES_PASSED_OVER         154
