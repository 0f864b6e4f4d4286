#include "segment_file.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
}

namespace recorder_segments {
namespace {

constexpr int kIoBufferBytes = 64 * 1024;

std::string FfmpegError(int error) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(error, text, sizeof text);
  return text;
}

// The directory of path, synced so that a new entry in it survives a power loss.
void SyncDirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "."
                          : slash == 0               ? "/"
                                                     : path.substr(0, slash);
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

}  // namespace

SegmentFile::~SegmentFile() { Abandon(); }

int SegmentFile::Collect(void* opaque, uint8_t* data, int size) {
  auto* self = static_cast<SegmentFile*>(opaque);
  try {
    self->m_pending.insert(self->m_pending.end(), data, data + size);
  } catch (...) {
    return AVERROR(ENOMEM);
  }
  return size;
}

bool SegmentFile::Open(const std::string& path, const std::vector<AnnouncedTrack>& tracks,
                       std::string* skipped, std::string* why) {
  m_path = path;
  m_errno = 0;
  m_bytes = 0;
  m_headerBytes = 0;
  m_pending.clear();
  m_streamOf.assign(tracks.size(), -1);
  m_lastDts.assign(tracks.size(), INT64_MIN);
  m_timeBase.assign(tracks.size(), AVRational{1, 1});
  int result = avformat_alloc_output_context2(&m_format, nullptr, "mp4", nullptr);
  m_packet = av_packet_alloc();
  if (result < 0 || m_packet == nullptr) {
    *why = "cannot make an MP4 muxer";
    Free();
    return false;
  }
  for (size_t t = 0; t < tracks.size(); ++t) {
    const MediaTrack& info = tracks[t].info;
    const AVCodecDescriptor* codec = avcodec_descriptor_get_by_name(info.codec);
    if (codec == nullptr ||
        avformat_query_codec(m_format->oformat, codec->id, FF_COMPLIANCE_NORMAL) != 1 ||
        info.timeBaseNum == 0 || info.timeBaseDen == 0) {
      *skipped += std::string(skipped->empty() ? "" : ", ") + info.codec;
      continue;
    }
    AVStream* stream = avformat_new_stream(m_format, nullptr);
    if (stream == nullptr) {
      *why = "out of memory";
      Free();
      return false;
    }
    AVCodecParameters* par = stream->codecpar;
    par->codec_type = codec->type;
    par->codec_id = codec->id;
    if (info.kind == MEDIA_VIDEO) {
      par->width = static_cast<int>(info.width);
      par->height = static_cast<int>(info.height);
      if (info.frameRateNum > 0 && info.frameRateDen > 0) {
        stream->avg_frame_rate = {static_cast<int>(info.frameRateNum),
                                  static_cast<int>(info.frameRateDen)};
      }
    } else {
      par->sample_rate = static_cast<int>(info.sampleRate);
      av_channel_layout_default(&par->ch_layout, static_cast<int>(info.channels));
      par->bits_per_coded_sample = static_cast<int>(info.bitsPerCodedSample);
      par->block_align = static_cast<int>(info.blockAlign);
      par->frame_size = static_cast<int>(info.frameSize);
    }
    if (!tracks[t].extradata.empty()) {
      const size_t bytes = tracks[t].extradata.size();
      par->extradata = static_cast<uint8_t*>(av_mallocz(bytes + AV_INPUT_BUFFER_PADDING_SIZE));
      if (par->extradata == nullptr) {
        *why = "out of memory";
        Free();
        return false;
      }
      memcpy(par->extradata, tracks[t].extradata.data(), bytes);
      par->extradata_size = static_cast<int>(bytes);
    }
    stream->time_base = {static_cast<int>(info.timeBaseNum), static_cast<int>(info.timeBaseDen)};
    m_timeBase[t] = stream->time_base;
    m_streamOf[t] = stream->index;
  }
  if (m_format->nb_streams == 0) {
    *why = "no track can go into MP4 (" + *skipped + ")";
    Free();
    return false;
  }

  m_fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (m_fd < 0) {
    m_errno = errno;
    *why = "cannot create " + path + ": " + strerror(errno);
    Free();
    return false;
  }
  auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferBytes));
  m_io = buffer == nullptr ? nullptr
                           : avio_alloc_context(buffer, kIoBufferBytes, 1, this, nullptr,
                                                &SegmentFile::Collect, nullptr);
  if (m_io == nullptr) {
    av_free(buffer);
    *why = "out of memory";
    Abandon();
    unlink(path.c_str());
    return false;
  }
  m_format->pb = m_io;
  m_format->flags |= AVFMT_FLAG_CUSTOM_IO;
  AVDictionary* options = nullptr;
  // Fragments at every keyframe and at least every second; the times of the packets are kept
  // as they are (the first fragment of a segment that follows another continues its times).
  av_dict_set(&options, "movflags", "frag_keyframe+empty_moov+default_base_moof+frag_discont", 0);
  av_dict_set(&options, "frag_duration", "1000000", 0);
  av_dict_set(&options, "avoid_negative_ts", "disabled", 0);
  result = avformat_write_header(m_format, &options);
  av_dict_free(&options);
  if (result < 0) {
    *why = "cannot start " + path + ": " + FfmpegError(result);
    Abandon();
    unlink(path.c_str());
    return false;
  }
  avio_flush(m_io);
  if (!WriteOut(why)) {
    Abandon();
    unlink(path.c_str());
    return false;
  }
  m_headerBytes = m_bytes;
  SyncDirectoryOf(path);
  return true;
}

bool SegmentFile::Records(uint32_t track) const {
  return track < m_streamOf.size() && m_streamOf[track] >= 0;
}

int SegmentFile::Write(uint32_t track, const uint8_t* data, uint32_t size, int64_t pts, int64_t dts,
                       int64_t duration, bool key, std::string* why) {
  if (!IsOpen() || !Records(track)) return 0;
  AVStream* stream = m_format->streams[m_streamOf[track]];
  // The muxer may have chosen a time base of its own for the track.
  const AVRational from = m_timeBase[track];
  pts = av_rescale_q(pts, from, stream->time_base);
  dts = av_rescale_q(dts, from, stream->time_base);
  duration = av_rescale_q(duration, from, stream->time_base);
  // The muxer takes only increasing decoding times, and no picture shown before it is decoded.
  if (dts <= m_lastDts[track] || pts < dts || dts < 0) return 0;
  m_packet->data = const_cast<uint8_t*>(data);  // read only: the muxer copies it
  m_packet->size = static_cast<int>(size);
  m_packet->stream_index = stream->index;
  m_packet->pts = pts;
  m_packet->dts = dts;
  m_packet->duration = duration > 0 ? duration : 0;
  m_packet->flags = key ? AV_PKT_FLAG_KEY : 0;
  m_packet->pos = -1;
  const int result = av_write_frame(m_format, m_packet);
  m_packet->data = nullptr;
  m_packet->size = 0;
  if (result < 0) return 0;
  m_lastDts[track] = dts;
  return 1;
}

bool SegmentFile::Flush(std::string* why) {
  if (!IsOpen()) return true;
  avio_flush(m_io);
  return WriteOut(why);
}

bool SegmentFile::WriteOut(std::string* why) {
  if (m_pending.empty()) return true;
  size_t done = 0;
  while (done < m_pending.size()) {
    const ssize_t n = write(m_fd, m_pending.data() + done, m_pending.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      m_errno = n < 0 ? errno : ENOSPC;
      *why = "writing " + m_path + ": " + strerror(m_errno);
      // Back to the last whole fragment, so that the file stays playable.
      if (ftruncate(m_fd, static_cast<off_t>(m_bytes)) != 0) {
        // The fragment stays cut; a player stops at it.
      }
      m_pending.clear();
      return false;
    }
    done += static_cast<size_t>(n);
  }
  m_bytes += m_pending.size();
  m_pending.clear();
  if (fdatasync(m_fd) != 0 && errno != EINVAL) {
    m_errno = errno;
    *why = "syncing " + m_path + ": " + strerror(errno);
    return false;
  }
  return true;
}

bool SegmentFile::Finish(std::string* why) {
  if (!IsOpen()) return true;
  const int result = av_write_trailer(m_format);
  avio_flush(m_io);
  bool ok = WriteOut(why);
  if (ok && result < 0) {
    *why = "finishing " + m_path + ": " + FfmpegError(result);
    ok = false;
  }
  if (m_fd >= 0 && close(m_fd) != 0 && ok) {
    m_errno = errno;
    *why = "closing " + m_path + ": " + strerror(errno);
    ok = false;
  }
  m_fd = -1;
  Free();
  return ok;
}

void SegmentFile::Abandon() {
  if (m_fd >= 0) close(m_fd);
  m_fd = -1;
  Free();
}

void SegmentFile::Free() {
  if (m_io != nullptr) {
    av_freep(&m_io->buffer);
    avio_context_free(&m_io);
  }
  if (m_format != nullptr) {
    m_format->pb = nullptr;
    avformat_free_context(m_format);
    m_format = nullptr;
  }
  av_packet_free(&m_packet);
  m_pending.clear();
}

}  // namespace recorder_segments
