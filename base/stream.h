// In-memory byte streams addressed by integer handles: growable buffers with one read/write
// position. Used to hand requests and replies between threads and to split header text into lines.
// Handles are process-wide; a stream may be used by one thread at a time, but the handle table
// itself is safe to use from any thread.
#pragma once

#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/bytes.h"
#include "base/text.h"

namespace qelvora {

// A new empty stream (position 0); its handle is never 0.
int openMemoryStream();
// Frees the stream; a handle that names no stream is ignored.
void closeStream(int handle);
bool seekToStart(int handle);
// Current size; -1 for a handle that names no stream.
int streamLength(int handle);
// True when the position is at or past the end; with stopAtEofMark also when the next byte is 0
// or 0x1A. An unknown handle is at its end.
bool atEnd(int handle, bool stopAtEofMark = false);

// Values in record form: a text as its bytes and one 0 byte; a byte block as a 4-byte little-endian
// length and its bytes; a list of byte blocks as each element in block form, without a count.
using RecordValue = std::variant<Text, Bytes, std::vector<Bytes>>;
// Receivers for readRecords; a list must already hold as many elements as were written.
using RecordTarget = std::variant<Text*, Bytes*, std::vector<Bytes>*>;

// Writes the values at the position (overwriting, growing the stream as needed).
bool writeRecords(int handle, const std::vector<RecordValue>& values);
// Reads back what writeRecords wrote; false, with the position restored to where the call started
// and the targets unchanged, when the data runs out.
bool readRecords(int handle, const std::vector<RecordTarget>& targets);
// Writes the bytes of each text, without terminator or line break.
bool writeRawText(int handle, const std::vector<std::string_view>& texts);
// The next line, up to a LF (consumed), a 0 or a 0x1A byte (not consumed); a CR right before the
// end of the line is dropped. At the end of the stream the empty text.
Text readLine(int handle);
// Removes n bytes at the position, moving the rest down and shrinking the stream.
bool deleteBytes(int handle, int n);

}  // namespace qelvora
