#include "camera_source.h"

#include <algorithm>
#include <string.h>
#include <time.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
}

#include "plugin_log.h"

namespace camera_rtsp {

using std::chrono::duration;
using std::chrono::seconds;

namespace {

// How much faster than its clock a camera may deliver without being taken for one that
// catches up: camera clocks that run slow by up to 500 ppm are not seen as lag.
constexpr double kClockAllowance = 0.0005;
// A connection that delivered for this long starts the next delays at 1 s again.
constexpr auto kLasting = seconds(10);
constexpr auto kFirstDelay = seconds(1);
constexpr auto kLastDelay = seconds(30);
// Stream's answer when the core refused a message: it stops delivering (the plugin's Close
// follows), or the channel was closed (a new connection opens it again). Not an outage.
const char* const kRefused = "refused";

int64_t WallClockUs() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

bool IsNetworkUrl(const std::string& url) {
  const size_t scheme = url.find("://");
  return scheme != std::string::npos && url.compare(0, scheme, "file") != 0;
}

bool AnnexB(const std::vector<uint8_t>& extradata) {
  return extradata.empty() || extradata[0] != 1;  // avcC and hvcC begin with version 1
}

std::string Describe(const MediaTrack& track) {
  char text[160];
  if (track.kind == MEDIA_VIDEO) {
    if (track.frameRateNum > 0 && track.frameRateDen > 0) {
      snprintf(text, sizeof text, "%s %ux%u at %.4g fps", track.codec, track.width, track.height,
               static_cast<double>(track.frameRateNum) / track.frameRateDen);
    } else {
      snprintf(text, sizeof text, "%s %ux%u", track.codec, track.width, track.height);
    }
  } else {
    snprintf(text, sizeof text, "%s %u Hz, %u channel%s", track.codec, track.sampleRate,
             track.channels, track.channels == 1 ? "" : "s");
  }
  return text;
}

}  // namespace

// One connection: FFmpeg's input and what the camera announced of it.
struct Input {
  ~Input() {
    av_bsf_free(&extract);
    if (ctx != nullptr) avformat_close_input(&ctx);
  }

  std::string Description() const {
    std::string text;
    for (uint32_t i = 0; i < trackCount; ++i) text += (i > 0 ? ", " : "") + Describe(tracks[i]);
    return text;
  }

  AVFormatContext* ctx = nullptr;
  uint32_t trackCount = 0;
  int streamOf[MEDIA_MAX_TRACKS] = {-1, -1};  // FFmpeg's stream index of each track
  MediaTrack tracks[MEDIA_MAX_TRACKS] = {};
  std::vector<uint8_t> extradata[MEDIA_MAX_TRACKS];
  AVRational timeBase[MEDIA_MAX_TRACKS] = {};
  bool hasVideo = false;  // track 0 is video
  // Finds the parameter sets that a video stream carries in its keyframes (Annex B streams
  // only), to see the camera change them.
  AVBSFContext* extract = nullptr;

  // A file played in a loop: each pass is shifted by the length of the file.
  int64_t loopOffsetUs = 0;
  int64_t firstUs = AV_NOPTS_VALUE, endUs = AV_NOPTS_VALUE;
};

CameraSource::CameraSource(const media::CameraConfig& config, const std::string& openUrl,
                           CoreCallbackFn callback)
    : m_config(config),
      m_openUrl(openUrl),
      m_callback(callback),
      m_realtime(config.realtime == 1 || (config.realtime == -1 && !IsNetworkUrl(config.url))) {}

CameraSource::~CameraSource() {
  RequestStop();
  Join();
}

bool CameraSource::Start() {
  try {
    m_thread = std::thread(&CameraSource::Run, this);
  } catch (...) {
    media::Log(LOG_ERR, "camera %s: cannot start its thread", m_config.name.c_str());
    return false;
  }
  m_started = true;
  return true;
}

void CameraSource::RequestStop() {
  std::lock_guard<std::mutex> lock(m_mu);
  m_stopping = true;
  m_stop = true;
  m_wake.notify_all();
}

void CameraSource::Join() {
  if (!m_started) return;
  m_started = false;
  m_thread.join();
  media::Log(LOG_INFO,
             "camera %s: stopped: %llu packets sent, %llu groups of pictures dropped (%llu "
             "packets), %llu lost, %llu refused, largest lag %.2f s, %llu connections",
             m_config.name.c_str(), static_cast<unsigned long long>(m_sent),
             static_cast<unsigned long long>(m_droppedGroups),
             static_cast<unsigned long long>(m_droppedPackets),
             static_cast<unsigned long long>(m_lost), static_cast<unsigned long long>(m_refused),
             m_maxLag, static_cast<unsigned long long>(m_connects));
}

bool CameraSource::SleepUntil(Clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(m_mu);
  m_wake.wait_until(lock, deadline, [&] { return m_stopping; });
  return m_stopping;
}

void CameraSource::ArmDeadline(double secondsFromNow) {
  m_timedOut = false;
  m_deadlineNs = secondsFromNow <= 0
                     ? 0
                     : std::chrono::duration_cast<std::chrono::nanoseconds>(
                           (Clock::now() + duration<double>(secondsFromNow)).time_since_epoch())
                           .count();
}

int CameraSource::Interrupt(void* opaque) {
  auto* self = static_cast<CameraSource*>(opaque);
  if (self->m_stop) return 1;
  const int64_t deadline = self->m_deadlineNs;
  const int64_t now =
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
  if (deadline != 0 && now > deadline) {
    self->m_timedOut = true;
    return 1;
  }
  return 0;
}

std::string CameraSource::Reason(int error) const {
  if (m_timedOut) {
    char text[64];
    snprintf(text, sizeof text, "no answer within %g s", m_config.timeout);
    return text;
  }
  if (error == AVERROR_EOF) return "the stream ended";
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(error, text, sizeof text);
  return text;
}

void CameraSource::Run() {
  auto delay = kFirstDelay;
  while (!m_stop) {
    Input input;
    std::string why;
    bool lasted = false;
    if (Connect(&input, &why)) {
      ++m_connects;
      const Clock::time_point connected = Clock::now();
      why = Stream(&input);
      lasted = Clock::now() - connected >= kLasting;
    }
    if (m_stop) break;
    if (lasted) delay = kFirstDelay;
    if (why == kRefused) {
      if (SleepUntil(Clock::now() + kFirstDelay)) break;
      continue;
    }
    if (!m_outage) {
      m_outage = true;
      m_outageStart = Clock::now();
      media::Log(LOG_WARNING,
                 "camera %s: %s: %s; trying again in %lld s (then at most every %lld s)",
                 m_config.name.c_str(), m_config.url.c_str(), why.c_str(),
                 static_cast<long long>(delay.count()), static_cast<long long>(kLastDelay.count()));
    }
    if (SleepUntil(Clock::now() + delay)) break;
    delay = std::min(delay * 2, kLastDelay);
  }
}

bool CameraSource::Connect(Input* input, std::string* why) {
  input->ctx = avformat_alloc_context();
  if (input->ctx == nullptr) return *why = "out of memory", false;
  input->ctx->interrupt_callback.callback = &CameraSource::Interrupt;
  input->ctx->interrupt_callback.opaque = this;
  AVDictionary* options = nullptr;
  if (m_config.url.compare(0, 7, "rtsp://") == 0 || m_config.url.compare(0, 8, "rtsps://") == 0) {
    av_dict_set(&options, "rtsp_transport", m_config.udp ? "udp" : "tcp", 0);
    // The socket's own timeout, in microseconds, besides the interrupt callback's deadline.
    av_dict_set_int(&options, "timeout", static_cast<int64_t>(m_config.timeout * 1e6), 0);
  }
  ArmDeadline(m_config.timeout);
  int result = avformat_open_input(&input->ctx, m_openUrl.c_str(), nullptr, &options);
  av_dict_free(&options);
  if (result < 0) {
    input->ctx = nullptr;  // freed by FFmpeg
    *why = Reason(result);
    return false;
  }
  // Reading the parameters may take some pictures of the stream besides the answer.
  ArmDeadline(m_config.timeout + 5);
  result = avformat_find_stream_info(input->ctx, nullptr);
  ArmDeadline(0);
  if (result < 0) {
    *why = "cannot read the stream's parameters: " + Reason(result);
    return false;
  }
  const int video = av_find_best_stream(input->ctx, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  const int audio = m_config.audio
                        ? av_find_best_stream(input->ctx, AVMEDIA_TYPE_AUDIO, -1, video, nullptr, 0)
                        : -1;
  if (video < 0 && audio < 0) return *why = "the stream has neither video nor audio", false;
  for (unsigned i = 0; i < input->ctx->nb_streams; ++i) {
    input->ctx->streams[i]->discard = AVDISCARD_ALL;
  }
  for (int index : {video, audio}) {
    if (index < 0) continue;
    AVStream* stream = input->ctx->streams[index];
    const AVCodecParameters* par = stream->codecpar;
    stream->discard = AVDISCARD_DEFAULT;
    const uint32_t t = input->trackCount++;
    MediaTrack& track = input->tracks[t];
    track.kind = index == video ? MEDIA_VIDEO : MEDIA_AUDIO;
    snprintf(track.codec, sizeof track.codec, "%s", avcodec_get_name(par->codec_id));
    track.timeBaseNum = static_cast<uint32_t>(stream->time_base.num);
    track.timeBaseDen = static_cast<uint32_t>(stream->time_base.den);
    if (index == video) {
      track.width = static_cast<uint32_t>(std::max(par->width, 0));
      track.height = static_cast<uint32_t>(std::max(par->height, 0));
      const AVRational rate =
          stream->avg_frame_rate.num > 0 ? stream->avg_frame_rate : stream->r_frame_rate;
      if (rate.num > 0 && rate.den > 0) {
        track.frameRateNum = static_cast<uint32_t>(rate.num);
        track.frameRateDen = static_cast<uint32_t>(rate.den);
      }
    } else {
      track.sampleRate = static_cast<uint32_t>(std::max(par->sample_rate, 0));
      track.channels = static_cast<uint32_t>(std::max(par->ch_layout.nb_channels, 0));
      track.bitsPerCodedSample = static_cast<uint32_t>(std::max(par->bits_per_coded_sample, 0));
      track.blockAlign = static_cast<uint32_t>(std::max(par->block_align, 0));
      track.frameSize = static_cast<uint32_t>(std::max(par->frame_size, 0));
    }
    if (par->extradata_size > 0 &&
        static_cast<uint32_t>(par->extradata_size) <= MEDIA_MAX_EXTRADATA) {
      input->extradata[t].assign(par->extradata, par->extradata + par->extradata_size);
    }
    input->streamOf[t] = index;
    input->timeBase[t] = stream->time_base;
  }
  input->hasVideo = video >= 0;
  const AVCodecParameters* videoPar = video >= 0 ? input->ctx->streams[video]->codecpar : nullptr;
  if (videoPar != nullptr &&
      (videoPar->codec_id == AV_CODEC_ID_H264 || videoPar->codec_id == AV_CODEC_ID_HEVC) &&
      AnnexB(input->extradata[0])) {
    const AVBitStreamFilter* filter = av_bsf_get_by_name("extract_extradata");
    if (filter != nullptr && av_bsf_alloc(filter, &input->extract) == 0) {
      avcodec_parameters_copy(input->extract->par_in, videoPar);
      input->extract->time_base_in = input->timeBase[0];
      if (av_bsf_init(input->extract) < 0) av_bsf_free(&input->extract);
    }
  }
  return true;
}

// Whether the keyframe carries parameter sets other than those announced; they and the picture
// size they give then replace the announced ones.
static bool ParametersChanged(Input* input, const AVPacket& packet) {
  if (input->extract == nullptr) return false;
  AVPacket* copy = av_packet_alloc();
  if (copy == nullptr || av_packet_ref(copy, &packet) < 0 ||
      av_bsf_send_packet(input->extract, copy) < 0) {
    av_packet_free(&copy);
    return false;
  }
  std::vector<uint8_t> found;
  while (av_bsf_receive_packet(input->extract, copy) == 0) {
    size_t size = 0;
    const uint8_t* data = av_packet_get_side_data(copy, AV_PKT_DATA_NEW_EXTRADATA, &size);
    if (data != nullptr && size > 0 && size <= MEDIA_MAX_EXTRADATA) found.assign(data, data + size);
    av_packet_unref(copy);
  }
  av_packet_free(&copy);
  if (found.empty() || found == input->extradata[0]) return false;
  input->extradata[0] = found;
  // The picture size of the new parameters, from FFmpeg's parser of the codec.
  const AVCodecParameters* par = input->ctx->streams[input->streamOf[0]]->codecpar;
  AVCodecParserContext* parser = av_parser_init(par->codec_id);
  AVCodecContext* context = avcodec_alloc_context3(nullptr);
  if (parser != nullptr && context != nullptr) {
    parser->flags |= PARSER_FLAG_COMPLETE_FRAMES;
    uint8_t* out = nullptr;
    int outSize = 0;
    av_parser_parse2(parser, context, &out, &outSize, packet.data, packet.size, packet.pts,
                     packet.dts, 0);
    if (parser->width > 0 && parser->height > 0) {
      input->tracks[0].width = static_cast<uint32_t>(parser->width);
      input->tracks[0].height = static_cast<uint32_t>(parser->height);
    }
  }
  if (parser != nullptr) av_parser_close(parser);
  avcodec_free_context(&context);
  return true;
}

void CameraSource::LogConnected(const Input& input) {
  if (m_outage) {
    m_outage = false;
    const double away = duration<double>(Clock::now() - m_outageStart).count();
    media::Log(LOG_INFO, "camera %s: back after %.0f s: %s (channel %u)", m_config.name.c_str(),
               away, input.Description().c_str(), m_config.channel);
    return;
  }
  media::Log(LOG_INFO, "camera %s: %s: %s (channel %u)", m_config.name.c_str(),
             m_config.url.c_str(), input.Description().c_str(), m_config.channel);
}

bool CameraSource::Announce(Input* input) {
  size_t bytes = sizeof(MediaStream);
  for (uint32_t t = 0; t < input->trackCount; ++t) bytes += input->extradata[t].size();
  std::vector<uint8_t> payload(bytes);
  MediaStream stream;
  memset(&stream, 0, sizeof stream);
  stream.magic = MEDIA_STREAM_MAGIC;
  stream.source = MEDIA_CAMERA_ID;
  stream.channel = m_config.channel;
  stream.generation = ++m_generation;
  stream.trackCount = input->trackCount;
  snprintf(stream.camera, sizeof stream.camera, "%s", m_config.name.c_str());
  size_t at = sizeof stream;
  for (uint32_t t = 0; t < input->trackCount; ++t) {
    stream.tracks[t] = input->tracks[t];
    stream.tracks[t].extradataBytes = static_cast<uint32_t>(input->extradata[t].size());
    if (!input->extradata[t].empty()) {
      memcpy(payload.data() + at, input->extradata[t].data(), input->extradata[t].size());
    }
    at += input->extradata[t].size();
  }
  memcpy(payload.data(), &stream, sizeof stream);

  Message message;
  memset(&message, 0, sizeof message);
  message.size = sizeof message;
  message.version = ZENT_RECORD_VERSION;
  message.length = static_cast<uint32_t>(payload.size());
  message.data = payload.data();
  message.source = 0;  // a broadcast; it opens the channel
  message.channel = m_config.channel;
  message.flags = MEDIA_FLAG;
  message.code = MEDIA_CODE_STREAM;
  MessageReply reply;
  memset(&reply, 0, sizeof reply);
  reply.size = sizeof reply;
  reply.version = ZENT_RECORD_VERSION;
  m_callback(&message, &reply);
  return reply.result == RESULT_OK;
}

int32_t CameraSource::Send(const AVPacket& packet, uint32_t track, int64_t captureUs,
                           uint64_t sequence) {
  MediaPacketInfo info;
  memset(&info, 0, sizeof info);
  info.magic = MEDIA_PACKET_MAGIC;
  info.generation = m_generation;
  info.track = track;
  info.flags = (packet.flags & AV_PKT_FLAG_KEY) != 0 ? MEDIA_PACKET_KEY : 0;
  info.pts = packet.pts;
  info.dts = packet.dts;
  info.duration = packet.duration;
  info.captureUs = captureUs;
  info.sequence = sequence;
  snprintf(info.camera, sizeof info.camera, "%s", m_config.name.c_str());

  Message message;
  memset(&message, 0, sizeof message);
  message.size = sizeof message;
  message.version = ZENT_RECORD_VERSION;
  message.length = static_cast<uint32_t>(packet.size);
  message.data = packet.data;
  message.source = MEDIA_CAMERA_ID;
  message.channel = m_config.channel;
  message.flags = MEDIA_FLAG;
  message.code = MEDIA_CODE_PACKET;
  memcpy(message.extra, &info, sizeof info);
  MessageReply reply;
  memset(&reply, 0, sizeof reply);
  reply.size = sizeof reply;
  reply.version = ZENT_RECORD_VERSION;
  // Waits here while the previous packet holds the channel.
  m_callback(&message, &reply);
  return reply.result;
}

std::string CameraSource::Stream(Input* input) {
  AVPacket* packet = av_packet_alloc();
  if (packet == nullptr) return "out of memory";
  struct Release {
    AVPacket** packet;
    ~Release() { av_packet_free(packet); }
  } release{&packet};

  bool announced = false, started = false, dropping = false, paced = false;
  bool lagKnown = false;
  Clock::time_point paceStart;
  int64_t paceFirstUs = 0, lastUs = 0;
  double floorUs = 0;  // the smallest (reading time - stream time) seen, drifting slowly up
  media::RateLimit dropLog(seconds(10));
  for (;;) {
    ArmDeadline(m_config.timeout);
    int result = av_read_frame(input->ctx, packet);
    ArmDeadline(0);
    if (m_stop) return "";
    if (result == AVERROR_EOF && m_config.loop && input->endUs != AV_NOPTS_VALUE) {
      if (input->endUs <= input->firstUs) return "the file holds no packets to loop";
      input->loopOffsetUs += input->endUs - input->firstUs;
      const int64_t start = input->ctx->start_time != AV_NOPTS_VALUE ? input->ctx->start_time : 0;
      result = avformat_seek_file(input->ctx, -1, INT64_MIN, start, start, 0);
      if (result < 0) return "cannot start the file again: " + Reason(result);
      continue;
    }
    if (result < 0) return Reason(result);

    int track = -1;
    for (uint32_t t = 0; t < input->trackCount; ++t) {
      if (input->streamOf[t] == packet->stream_index) track = static_cast<int>(t);
    }
    if (track < 0 || (packet->dts == AV_NOPTS_VALUE && packet->pts == AV_NOPTS_VALUE)) {
      av_packet_unref(packet);
      continue;
    }
    const uint64_t sequence = ++m_sequence;
    const AVRational timeBase = input->timeBase[track];
    const MediaTrack& info = input->tracks[track];
    if (packet->dts == AV_NOPTS_VALUE) packet->dts = packet->pts;
    if (packet->pts == AV_NOPTS_VALUE) packet->pts = packet->dts;
    // The file's own times, before the shift of a loop, mark out one pass of it.
    const int64_t rawUs = av_rescale_q(packet->dts, timeBase, AV_TIME_BASE_Q);
    int64_t lengthUs =
        packet->duration > 0 ? av_rescale_q(packet->duration, timeBase, AV_TIME_BASE_Q) : 0;
    if (lengthUs == 0 && info.kind == MEDIA_VIDEO && info.frameRateNum > 0) {
      lengthUs = 1000000LL * info.frameRateDen / info.frameRateNum;
    }
    if (input->firstUs == AV_NOPTS_VALUE || rawUs < input->firstUs) input->firstUs = rawUs;
    if (input->endUs == AV_NOPTS_VALUE || rawUs + lengthUs > input->endUs) {
      input->endUs = rawUs + lengthUs;
    }
    if (input->loopOffsetUs != 0) {
      const int64_t shift = av_rescale_q(input->loopOffsetUs, AV_TIME_BASE_Q, timeBase);
      packet->dts += shift;
      packet->pts += shift;
    }
    const int64_t streamUs = rawUs + input->loopOffsetUs;
    const bool key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
    // A group of pictures begins at a video keyframe (at any key packet without video).
    const bool groupStart = key && (input->hasVideo ? info.kind == MEDIA_VIDEO : true);
    if (!started && !groupStart) {  // the stream is joined at its first keyframe
      av_packet_unref(packet);
      continue;
    }
    if (info.kind == MEDIA_VIDEO && key) {
      const bool changed = ParametersChanged(input, *packet);
      if (changed && announced) {
        media::Log(LOG_INFO, "camera %s: the stream changed: %s", m_config.name.c_str(),
                   input->Description().c_str());
      }
      if (!announced || changed) {
        if (!Announce(input)) {
          ++m_refused;
          return kRefused;
        }
        if (!announced) LogConnected(*input);
        announced = true;
      }
    } else if (!announced) {
      if (!Announce(input)) {
        ++m_refused;
        return kRefused;
      }
      LogConnected(*input);
      announced = true;
    }
    started = true;

    // A file at real time: each packet when its time has come, except while dropping.
    if (m_realtime && !dropping) {
      if (!paced) {
        paced = true;
        paceStart = Clock::now();
        paceFirstUs = streamUs;
      }
      const auto due = paceStart + std::chrono::microseconds(streamUs - paceFirstUs);
      if (due > Clock::now() && SleepUntil(due)) return "";
    }

    // How late this packet is read, against the earliest reading so far.
    const double readUs =
        std::chrono::duration<double, std::micro>(Clock::now().time_since_epoch()).count();
    const double offsetUs = readUs - static_cast<double>(streamUs);
    if (!lagKnown) {
      lagKnown = true;
      floorUs = offsetUs;
    } else {
      floorUs += kClockAllowance * static_cast<double>(std::max<int64_t>(streamUs - lastUs, 0));
      floorUs = std::min(floorUs, offsetUs);
    }
    lastUs = std::max(lastUs, streamUs);
    const double lag = (offsetUs - floorUs) / 1e6;
    if (groupStart) {
      m_maxLag = std::max(m_maxLag, lag);
      dropping = lag > m_config.maxLag;
      if (dropping) {
        ++m_droppedGroups;
        unsigned long held = 0;
        if (dropLog.Allow(&held)) {
          media::Log(LOG_WARNING,
                     "camera %s: %.1f s behind (max_lag %g s): dropping whole groups of pictures "
                     "(%llu so far)",
                     m_config.name.c_str(), lag, m_config.maxLag,
                     static_cast<unsigned long long>(m_droppedGroups));
        }
      }
    }
    if (dropping) {
      ++m_droppedPackets;
      av_packet_unref(packet);
      continue;
    }
    const int32_t sent = Send(*packet, static_cast<uint32_t>(track), WallClockUs(), sequence);
    av_packet_unref(packet);
    if (sent == RESULT_OK) {
      ++m_sent;
    } else if (sent == RESULT_NO_MEMORY) {
      // The rest of the group would not decode without this packet.
      ++m_lost;
      ++m_droppedGroups;
      dropping = true;
    } else {
      ++m_refused;
      return kRefused;
    }
  }
}

}  // namespace camera_rtsp
