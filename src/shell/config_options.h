#pragma once
// What the Config page's controls change: each in-memory value together
// with its key in the settings file, at the moment of the click.

#include "shell/language_list.h"
#include "platform/settings_store.h"

namespace tidemark {

class CaptureSession;

void chooseExecGame(CaptureSession& session, SettingsStore& settings, bool on);
void chooseExitToTray(SettingsStore& settings, bool on);
void chooseExecOnTray(SettingsStore& settings, bool on);

// Switches the patterns to the language of element `index` of the list: the
// session takes the code and is reset (the worker then fetches that
// language's patterns), and the code is saved. Nothing changes when the
// element has no code (or no item is selected); false then.
bool chooseLanguage(CaptureSession& session, SettingsStore& settings, const LanguageList& list, int index);

}  // namespace tidemark
