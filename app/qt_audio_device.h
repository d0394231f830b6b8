// The sound output of the program: Qt Multimedia's QAudioSink on the default audio output.
// The sinks live on one audio thread of their own, so feeders on any thread can use them and the
// window thread is never blocked by audio work.
#pragma once

#include <memory>

#include "app/sound_player.h"

namespace qelvora {

// Qt Multimedia reports on the terminal every time it finds no sound server ("PulseAudioService:
// pa_context_connect() failed", ...). Without one the program simply plays nothing, so its
// messages are dropped; every other message goes on as before. Install once, on any thread.
void quietAudioMessages();

class QtAudioOutput : public SoundOutput {
 public:
  QtAudioOutput();
  ~QtAudioOutput() override;

  // nullptr when there is no output device or it does not take the format.
  std::unique_ptr<SoundDevice> open(const WaveFormat& format,
                                    std::function<void(int bufferIndex)> done) override;

  struct AudioThread;

 private:
  std::shared_ptr<AudioThread> thread_;
};

}  // namespace qelvora
