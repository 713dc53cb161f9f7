// The host link's costs against baselines measured in the same run:
//  - one large frame (16, 64, 256 MiB) arriving in 64 KiB reads, against
//    merely appending those reads to a buffer plus one decode; the cost per
//    byte must stay flat as the frame grows (no re-parsing per read);
//  - a 16 MiB frame whose length field is smaller than its body (its elements
//    are then cut short at most reads), one data value or many small table
//    entries, against the same frame with a correct length, both in 64 KiB
//    reads; a cut element must not be decoded again from its first byte on
//    every read;
//  - one million small command frames in random reads of 1 to 4096 bytes,
//    against decoding the same frames from one contiguous buffer;
//  - sending a frame with a 2 MiB payload, against one memcpy plus one write
//    of the same size to /dev/null, with the bytes allocated while sending
//    (one exactly sized buffer means the payload was copied once).
// Prints ratios; never fails on the figures.
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <map>
#include <new>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Data.h"
#include "platform/FileHandle.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "source/ZyLuaTableMarshalling.h"
#include "source/mac_source/TetherTask.h"
#include "source/mac_source/ZyNSDataStreamBuf.h"
#include "source/mac_source/ZyRCMessageAccumulator.h"

// Counts the bytes allocated through operator new while enabled.
namespace {
std::atomic<bool> gCountAllocations{false};
std::atomic<size_t> gAllocatedBytes{0};
std::atomic<size_t> gAllocations{0};
}  // namespace

// Out of line, so that the compiler does not pair the inlined free() below
// with the matching new expressions.
__attribute__((noinline)) void* operator new(size_t size) {
  if (gCountAllocations.load(std::memory_order_relaxed)) {
    gAllocatedBytes += size;
    ++gAllocations;
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace {

// CPU time of this thread (user and system, page faults and the write
// included): the machine is shared, so wall time would measure the neighbours.
double ThreadSeconds() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

template <typename F>
double Seconds(F&& f) {
  const double start = ThreadSeconds();
  f();
  return ThreadSeconds() - start;
}

std::string Int32LE(int32_t value) {
  const uint32_t v = static_cast<uint32_t>(value);
  std::string out(4, '\0');
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return out;
}

std::string Encode(const ZyLuaTE& element) {
  std::ostringstream out;
  element.writeToStream(out);
  return out.str();
}

std::string Frame(int32_t id, const std::string& name, const std::string& payload) {
  return Int32LE(static_cast<int32_t>(4 + name.size() + payload.size())) + Int32LE(id) + name +
         payload;
}

// Figures kept for the summary printed after all runs.
std::map<std::string, double>& Figures() {
  static std::map<std::string, double> figures;
  return figures;
}

// --- One large frame in 64 KiB reads ------------------------------------------

constexpr size_t kReadSize = 64 * 1024;

std::string LargeFrame(size_t payloadBytes) {
  ZyLuaTETable table;
  std::string blob(payloadBytes, '\0');
  for (size_t i = 0; i < blob.size(); i += 4096) blob[i] = static_cast<char>(i >> 12);
  table.Set("data", new ZyLuaTEData(blob.data(), static_cast<int>(blob.size())));
  return Frame(0, Encode(ZyLuaTEString("objectWasAdded")), Encode(table));
}

// Drains each announced message, as the dispatcher would.
class Drain {
 public:
  explicit Drain(ZyRCMessageAccumulator* accumulator) : mAccumulator(accumulator) {
    zy::NotificationCenter::defaultCenter().addObserver(
        this,
        [this](const zy::Notification&) {
          CRCMessage* m = mAccumulator->getNextMessage();
          if (m != nullptr) ++messages;
          ZyDeleteMessage(m);
        },
        std::string(kZyMessageIsAvailableNotification), accumulator);
  }
  ~Drain() { zy::NotificationCenter::defaultCenter().removeObserver(this); }
  size_t messages = 0;

 private:
  ZyRCMessageAccumulator* mAccumulator;
};

size_t FeedInReads(const std::string& bytes, const std::vector<size_t>& sizes) {
  ZyRCMessageAccumulator accumulator(nullptr);
  Drain drain(&accumulator);
  size_t at = 0;
  for (size_t i = 0; at < bytes.size(); ++i) {
    const size_t n = std::min(sizes[i % sizes.size()], bytes.size() - at);
    accumulator.formMessagesWithData(bytes.data() + at, n);
    at += n;
  }
  return drain.messages;
}

// Decodes every frame of a contiguous buffer by the frame layout alone.
size_t DecodeContiguous(const zy::DataRef& data) {
  ZyNSDataReadStreamBuf buffer(data);
  std::istream in(&buffer);
  size_t messages = 0;
  char header[8];
  while (in.read(header, 8)) {
    ZyLuaTE* name = ZyLuaTE::createFromStream(in);
    ZyLuaTE* payload = ZyLuaTE::createFromStream(in);
    messages += name != nullptr && payload != nullptr;
    delete name;
    delete payload;
  }
  return messages;
}

size_t AppendAndDecode(const std::string& bytes, size_t readSize) {
  auto buffer = std::make_shared<zy::MutableData>();
  for (size_t at = 0; at < bytes.size(); at += readSize) {
    buffer->appendBytes(bytes.data() + at, std::min(readSize, bytes.size() - at));
  }
  return DecodeContiguous(buffer);
}

void BM_LargeFrameIn64KiBReads(benchmark::State& state) {
  // A fixed threshold: every large buffer is then fresh mapped memory at
  // every size. glibc otherwise raises it as buffers are freed and recycles
  // those up to 32 MiB, so the 16 MiB frame would skip the page faults that
  // the larger ones pay, in both the accumulator and its baseline.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  const size_t mebibytes = static_cast<size_t>(state.range(0));
  const std::string frame = LargeFrame(mebibytes << 20);
  double accumulator = 0, baseline = 0;
  for (auto _ : state) {
    size_t formed = 0, decoded = 0;
    // Alternate the order, so that neither side always inherits the other's
    // freshly released memory.
    if (state.iterations() % 2 == 0) {
      accumulator += Seconds([&] { formed = FeedInReads(frame, {kReadSize}); });
      baseline += Seconds([&] { decoded = AppendAndDecode(frame, kReadSize); });
    } else {
      baseline += Seconds([&] { decoded = AppendAndDecode(frame, kReadSize); });
      accumulator += Seconds([&] { formed = FeedInReads(frame, {kReadSize}); });
    }
    if (formed != 1 || decoded != 1) state.SkipWithError("frame not formed");
  }
  const double n = static_cast<double>(state.iterations());
  const double nsPerByte = accumulator / n / static_cast<double>(frame.size()) * 1e9;
  state.counters["accumulator_ms"] = accumulator / n * 1e3;
  state.counters["append_decode_ms"] = baseline / n * 1e3;
  state.counters["ratio"] = accumulator / baseline;
  state.counters["ns_per_byte"] = nsPerByte;
  Figures()["large " + std::to_string(mebibytes) + " MiB ratio"] = accumulator / baseline;
  Figures()["large " + std::to_string(mebibytes) + " MiB ns/byte"] = nsPerByte;
}
BENCHMARK(BM_LargeFrameIn64KiBReads)
    ->Arg(16)->Arg(64)->Arg(256)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

// --- A million small frames in random reads ----------------------------------

void BM_MillionSmallFramesInRandomReads(benchmark::State& state) {
  constexpr int kFrames = 1000000;
  std::string stream;
  {
    const std::string names[] = {Encode(ZyLuaTEString("doCapture")),
                                 Encode(ZyLuaTEString("getCameraSettings")),
                                 Encode(ZyLuaTEString("shutdown"))};
    ZyLuaTETable table;
    table.Set("device_id", new ZyLuaTENumber(8201));
    const std::string payloads[] = {Encode(ZyLuaTENil()), Encode(table)};
    for (int i = 0; i < kFrames; ++i) stream += Frame(i, names[i % 3], payloads[i % 2]);
  }
  std::mt19937 random(4096);
  std::uniform_int_distribution<size_t> size(1, 4096);
  std::vector<size_t> sizes(stream.size() / 2048 + 16);
  for (size_t& s : sizes) s = size(random);
  const auto contiguous = std::make_shared<zy::Data>(stream.data(), stream.size());

  double accumulator = 0, baseline = 0;
  for (auto _ : state) {
    size_t formed = 0, decoded = 0;
    accumulator += Seconds([&] { formed = FeedInReads(stream, sizes); });
    baseline += Seconds([&] { decoded = DecodeContiguous(contiguous); });
    if (formed != kFrames || decoded != kFrames) state.SkipWithError("frames lost");
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["accumulator_ms"] = accumulator / n * 1e3;
  state.counters["contiguous_ms"] = baseline / n * 1e3;
  state.counters["ratio"] = accumulator / baseline;
  state.counters["MB_per_s"] = static_cast<double>(stream.size()) / (accumulator / n) / 1e6;
  Figures()["small frames ratio"] = accumulator / baseline;
}
BENCHMARK(BM_MillionSmallFramesInRandomReads)
    ->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

// --- A 2 MiB payload out -----------------------------------------------------

void BM_Send2MiBPayload(benchmark::State& state) {
  constexpr size_t kPayload = 2u << 20;
  // The steady state of a task that keeps sending such frames: glibc's
  // threshold has risen past them and their buffers are recycled, as the
  // baseline's is.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 64 << 20);
  const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  zy::FileHandle output(devNull);
  TetherTask task(&output);
  std::string blob(kPayload, '\x42');
  ZyLuaTETable table;
  table.Set("data", new ZyLuaTEData(blob.data(), static_cast<int>(blob.size())));
  table.Set("file_path", new ZyLuaTEString("/tmp/TetherTMP1.DNG"));
  ZyLuaTEString name("thumbnailWasDownloaded");
  std::vector<char> copy(kPayload);

  double send = 0, baseline = 0;
  size_t allocated = 0;
  for (auto _ : state) {
    gAllocatedBytes = 0;
    gCountAllocations = true;
    send += Seconds([&] { task.sendMessage(&name, 0, &table); });
    gCountAllocations = false;
    allocated = gAllocatedBytes.load();
    baseline += Seconds([&] {
      std::memcpy(copy.data(), blob.data(), kPayload);
      benchmark::DoNotOptimize(copy.data());
      if (::write(devNull, copy.data(), kPayload) != static_cast<ssize_t>(kPayload)) std::abort();
    });
  }
  ::close(devNull);
  const double n = static_cast<double>(state.iterations());
  state.counters["send_us"] = send / n * 1e6;
  state.counters["memcpy_write_us"] = baseline / n * 1e6;
  state.counters["ratio"] = send / baseline;
  state.counters["allocated_per_payload"] =
      static_cast<double>(allocated) / static_cast<double>(kPayload);
  Figures()["send 2 MiB ratio"] = send / baseline;
  Figures()["send 2 MiB allocated/payload"] =
      static_cast<double>(allocated) / static_cast<double>(kPayload);
}
BENCHMARK(BM_Send2MiBPayload)->Iterations(200)->Unit(benchmark::kMicrosecond)->UseRealTime();

// --- A frame whose length is smaller than its body ---------------------------

// A frame of about `bytes` whose payload is a table of many small entries (a
// number key, 256 data bytes each): a cut element of that kind costs the most
// to decode again, every entry being rebuilt each time.
std::string ManyEntriesFrame(size_t bytes) {
  ZyLuaTETable table;
  const std::string entry(256, 'e');
  for (size_t i = 0; i < bytes / (entry.size() + 20); ++i) {
    table.Set(new ZyLuaTENumber(static_cast<double>(i)),
              new ZyLuaTEData(const_cast<char*>(entry.data()), static_cast<int>(entry.size())));
  }
  return Frame(0, Encode(ZyLuaTEString("objectWasAdded")), Encode(table));
}

void BM_ShortLengthFrameIn64KiBReads(benchmark::State& state) {
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  const std::string exact = state.range(0) == 0 ? LargeFrame(16 << 20) : ManyEntriesFrame(16 << 20);
  // The length covers the id and 6 bytes of the name: the name and then the
  // payload are cut short until their last read has arrived.
  const std::string shortened = Int32LE(4 + 6) + exact.substr(4);
  double cut = 0, baseline = 0;
  for (auto _ : state) {
    size_t formedCut = 0, formedExact = 0;
    if (state.iterations() % 2 == 0) {
      cut += Seconds([&] { formedCut = FeedInReads(shortened, {kReadSize}); });
      baseline += Seconds([&] { formedExact = FeedInReads(exact, {kReadSize}); });
    } else {
      baseline += Seconds([&] { formedExact = FeedInReads(exact, {kReadSize}); });
      cut += Seconds([&] { formedCut = FeedInReads(shortened, {kReadSize}); });
    }
    if (formedCut != 1 || formedExact != 1) state.SkipWithError("frame not formed");
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["short_length_ms"] = cut / n * 1e3;
  state.counters["exact_length_ms"] = baseline / n * 1e3;
  state.counters["ratio"] = cut / baseline;
  Figures()[std::string("short length 16 MiB ") + (state.range(0) == 0 ? "one blob" : "entries") +
            " ratio (goal <= 3)"] = cut / baseline;
}
// 0: one 16 MiB data value; 1: 16 MiB of small table entries.
BENCHMARK(BM_ShortLengthFrameIn64KiBReads)
    ->Arg(0)->Arg(1)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  zy::SetLogSink([](std::string_view) {});  // the send path logs every frame
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  zy::SetLogSink({});

  const auto& f = Figures();
  std::printf("\nhostlink summary (ratios against baselines of this run):\n");
  for (const auto& [key, value] : f) std::printf("  %-34s %8.3f\n", key.c_str(), value);
  // Re-parsing on every read would make these about 4 (256/64) and 16
  // (256/16).
  auto perByte = [&](const char* key) {
    auto it = f.find(key);
    return it == f.end() ? 0.0 : it->second;
  };
  const double b16 = perByte("large 16 MiB ns/byte"), b64 = perByte("large 64 MiB ns/byte"),
               b256 = perByte("large 256 MiB ns/byte");
  if (b16 > 0 && b64 > 0 && b256 > 0) {
    std::printf("  %-34s %8.3f  (1.0 = flat)\n", "per-byte cost 256 MiB / 64 MiB", b256 / b64);
    std::printf("  %-34s %8.3f  (1.0 = flat)\n", "per-byte cost 256 MiB / 16 MiB", b256 / b16);
  }
  return 0;
}
