#include "app/qt_audio_device.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QIODevice>
#include <QMediaDevices>
#include <QObject>
#include <QThread>
#include <QTimer>
#include <QtGlobal>

#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

namespace qelvora {

struct QtAudioOutput::AudioThread {
  QThread thread;
  QObject* context = nullptr;  // lives on the audio thread; target of the queued calls

  AudioThread() {
    thread.setObjectName(QStringLiteral("qelvora-audio"));
    thread.start();
    context = new QObject;
    context->moveToThread(&thread);
  }
  ~AudioThread() {
    run([this] { delete context; });
    thread.quit();
    thread.wait();
  }
  // Runs fn on the audio thread and returns when it has run. The audio thread never waits for
  // another thread, so this cannot deadlock.
  void run(const std::function<void()>& fn) {
    if (QThread::currentThread() == &thread) {
      fn();
    } else {
      QMetaObject::invokeMethod(context, fn, Qt::BlockingQueuedConnection);
    }
  }
};

namespace {

struct PendingBuffer {
  int index = 0;
  std::vector<char> bytes;
  std::size_t written = 0;
};

// The buffers a feeder has handed over and the sink has not taken yet.
struct BufferQueue {
  std::mutex mutex;
  std::deque<PendingBuffer> buffers;
};

// Owns the sink; created, used and deleted on the audio thread only.
class Engine : public QObject {
 public:
  Engine(const QAudioDevice& device, const QAudioFormat& format, std::shared_ptr<BufferQueue> queue,
         std::function<void(int)> done)
      : sink_(device, format), queue_(std::move(queue)), done_(std::move(done)) {
    // The sink's own buffer decides how far ahead of the ear a buffer counts as played; a
    // quarter of a second keeps stopping prompt without risking gaps.
    sink_.setBufferSize(format.bytesForDuration(250000));
    QObject::connect(&timer_, &QTimer::timeout, this, [this] { pump(); });
    timer_.start(10);
  }
  ~Engine() override { sink_.stop(); }

  // Moves queued bytes into the sink as far as it has room. A buffer counts as played once the
  // sink has taken all of it.
  void pump() {
    if (!io_) io_ = sink_.start();
    if (!io_) return;
    for (;;) {
      int finished = -1;
      {
        std::lock_guard lock(queue_->mutex);
        if (queue_->buffers.empty()) return;
        PendingBuffer& b = queue_->buffers.front();
        const qint64 room = sink_.bytesFree();
        const qint64 left = qint64(b.bytes.size() - b.written);
        if (room <= 0) return;
        const qint64 n = io_->write(b.bytes.data() + b.written, std::min(room, left));
        if (n <= 0) return;
        b.written += std::size_t(n);
        if (b.written == b.bytes.size()) {
          finished = b.index;
          queue_->buffers.pop_front();
        }
      }
      if (finished >= 0) done_(finished);
    }
  }

  void reset() {
    sink_.stop();
    io_ = nullptr;  // the next pump starts the sink afresh
  }

 private:
  QAudioSink sink_;
  QIODevice* io_ = nullptr;
  QTimer timer_{this};
  std::shared_ptr<BufferQueue> queue_;
  std::function<void(int)> done_;
};

class QtSoundDevice : public SoundDevice {
 public:
  QtSoundDevice(std::shared_ptr<QtAudioOutput::AudioThread> thread, Engine* engine,
                std::shared_ptr<BufferQueue> queue)
      : thread_(std::move(thread)), engine_(engine), queue_(std::move(queue)) {}
  ~QtSoundDevice() override {
    Engine* engine = engine_;
    thread_->run([engine] { delete engine; });
  }

  void write(int bufferIndex, const char* data, int length) override {
    {
      std::lock_guard lock(queue_->mutex);
      queue_->buffers.push_back({bufferIndex, std::vector<char>(data, data + length), 0});
    }
    // Queued calls to a deleted engine are dropped by Qt, so this never outlives it.
    Engine* engine = engine_;
    QMetaObject::invokeMethod(
        engine, [engine] { engine->pump(); }, Qt::QueuedConnection);
  }

  void reset() override {
    {
      std::lock_guard lock(queue_->mutex);
      queue_->buffers.clear();
    }
    Engine* engine = engine_;
    thread_->run([engine] { engine->reset(); });
  }

 private:
  std::shared_ptr<QtAudioOutput::AudioThread> thread_;
  Engine* engine_;
  std::shared_ptr<BufferQueue> queue_;
};

bool toQtFormat(const WaveFormat& wave, QAudioFormat& format) {
  if (wave.formatTag != 1 || wave.channels <= 0 || wave.sampleRate <= 0) return false;
  switch (wave.bitsPerSample) {
    case 8:
      format.setSampleFormat(QAudioFormat::UInt8);
      break;
    case 16:
      format.setSampleFormat(QAudioFormat::Int16);
      break;
    case 32:
      format.setSampleFormat(QAudioFormat::Int32);
      break;
    default:
      return false;
  }
  format.setChannelCount(wave.channels);
  format.setSampleRate(wave.sampleRate);
  return true;
}

QtMessageHandler previousHandler = nullptr;

// Qt Multimedia's audio messages: its logging categories, and the uncategorised warnings of its
// sound-server backend, which carry these prefixes.
bool fromQtMultimedia(const QMessageLogContext& context, const QString& message) {
  if (context.category && std::strncmp(context.category, "qt.multimedia", 13) == 0) return true;
  static const char* const kPrefixes[] = {
      "PulseAudioService:", "QAudioSink:", "QAudioSource:", "QtPulseAudio:", "QPulseAudio"};
  for (const char* prefix : kPrefixes)
    if (message.startsWith(QLatin1String(prefix))) return true;
  return false;
}

void dropAudioMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (type != QtFatalMsg && fromQtMultimedia(context, message)) return;
  previousHandler(type, context, message);
}

}  // namespace

void quietAudioMessages() {
  static std::once_flag once;
  std::call_once(once, [] { previousHandler = qInstallMessageHandler(dropAudioMessages); });
}

QtAudioOutput::QtAudioOutput() : thread_(std::make_shared<AudioThread>()) {}

QtAudioOutput::~QtAudioOutput() = default;

std::unique_ptr<SoundDevice> QtAudioOutput::open(const WaveFormat& wave,
                                                 std::function<void(int)> done) {
  QAudioFormat format;
  if (!toQtFormat(wave, format)) return nullptr;
  auto queue = std::make_shared<BufferQueue>();
  Engine* engine = nullptr;
  thread_->run([&] {
    const QAudioDevice device = QMediaDevices::defaultAudioOutput();
    if (device.isNull() || !device.isFormatSupported(format)) return;
    engine = new Engine(device, format, queue, std::move(done));
  });
  if (!engine) return nullptr;
  return std::make_unique<QtSoundDevice>(thread_, engine, std::move(queue));
}

}  // namespace qelvora
