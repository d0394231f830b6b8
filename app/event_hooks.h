// The window thread's event processing for the waits of base/threads.h.
#pragma once

namespace qelvora {

// Installs the hooks for the thread of the running QCoreApplication (call it on that thread once
// the application object exists): waits on that thread serve its Qt events and sleep in the event
// dispatcher between them; other threads keep plain sleeping waits.
void installGuiEventHooks();

}  // namespace qelvora
