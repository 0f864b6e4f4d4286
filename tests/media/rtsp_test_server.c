/*
 * rtsp_test_server: serves prepared MP4 files over RTSP as a network camera would, without
 * decoding or encoding: the file's H.264 (and AAC) samples are put into RTP packets as they are
 * and sent at the pace of their time stamps. For the recording tests and the camera benchmark.
 *
 *   rtsp_test_server [--port N] [--audio] [--shared] [--in-band] [--user NAME:PASSWORD]
 *                    /MOUNT=FILE ...
 *
 *   --port N      the TCP port to listen on, on 127.0.0.1 (0, the default: one the kernel
 *                 picks)
 *   --audio       the files have an audio track (AAC) besides the video, and it is served too
 *   --shared      one pipeline per mount for every client (the benchmark's many cameras);
 *                 otherwise every client gets the file from its start
 *   --in-band     the stream's parameter sets go only where the file has them (in the SDP from
 *                 the file's header, and in the samples that carry them): a file whose samples
 *                 change them plays a camera that was reconfigured. Otherwise they are sent
 *                 before every keyframe as well, as most cameras do.
 *   --user N:P    clients must authenticate (HTTP basic) with this name and password
 *
 * Prints "ready PORT" on standard output once it listens, and runs until SIGTERM or SIGINT.
 * A client that reaches the end of the file gets the end of the stream (RTSP has no loop).
 */
#include <glib-unix.h>
#include <gst/gst.h>
#include <gst/rtsp-server/rtsp-server.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static gboolean Quit(gpointer loop) {
  g_main_loop_quit((GMainLoop*)loop);
  return G_SOURCE_REMOVE;
}

static void Usage(void) {
  fprintf(stderr,
          "usage: rtsp_test_server [--port N] [--audio] [--shared] [--in-band] "
          "[--user NAME:PASSWORD] /MOUNT=FILE ...\n");
  exit(2);
}

int main(int argc, char** argv) {
  gst_init(&argc, &argv);
  const char* port = "0";
  const char* user = NULL;
  gboolean audio = FALSE, shared = FALSE, inBand = FALSE;
  int mounts = 0;

  GstRTSPServer* server = gst_rtsp_server_new();
  gst_rtsp_server_set_address(server, "127.0.0.1");
  GstRTSPMountPoints* points = gst_rtsp_server_get_mount_points(server);
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
      port = argv[++i];
    } else if (strcmp(argv[i], "--audio") == 0) {
      audio = TRUE;
    } else if (strcmp(argv[i], "--shared") == 0) {
      shared = TRUE;
    } else if (strcmp(argv[i], "--in-band") == 0) {
      inBand = TRUE;
    } else if (strcmp(argv[i], "--user") == 0 && i + 1 < argc) {
      user = argv[++i];
    } else if (argv[i][0] == '/' && strchr(argv[i], '=') != NULL) {
      char* mount = g_strndup(argv[i], (gsize)(strchr(argv[i], '=') - argv[i]));
      const char* file = strchr(argv[i], '=') + 1;
      /* The demuxer hands out the samples with the stream's parameters (avc), which the
       * payloader sends before every keyframe too (config-interval -1) unless --in-band. */
      char* launch = g_strdup_printf(
          "( filesrc location=\"%s\" ! qtdemux name=d "
          "d.video_0 ! queue ! rtph264pay name=pay0 pt=96 config-interval=%d %s )",
          file, inBand ? 0 : -1, audio ? "d.audio_0 ! queue ! rtpmp4gpay name=pay1 pt=97" : "");
      GstRTSPMediaFactory* factory = gst_rtsp_media_factory_new();
      gst_rtsp_media_factory_set_launch(factory, launch);
      gst_rtsp_media_factory_set_shared(factory, shared);
      if (user != NULL) {
        /* Only the role "camera-user" may see and play the mount. */
        gst_rtsp_media_factory_add_role(factory, "camera-user", GST_RTSP_PERM_MEDIA_FACTORY_ACCESS,
                                        G_TYPE_BOOLEAN, TRUE, GST_RTSP_PERM_MEDIA_FACTORY_CONSTRUCT,
                                        G_TYPE_BOOLEAN, TRUE, NULL);
      }
      gst_rtsp_mount_points_add_factory(points, mount, factory);
      g_free(launch);
      g_free(mount);
      ++mounts;
    } else {
      Usage();
    }
  }
  if (mounts == 0) Usage();
  g_object_unref(points);
  gst_rtsp_server_set_service(server, port);

  if (user != NULL) {
    const char* colon = strchr(user, ':');
    if (colon == NULL) Usage();
    char* name = g_strndup(user, (gsize)(colon - user));
    GstRTSPAuth* auth = gst_rtsp_auth_new();
    GstRTSPToken* token =
        gst_rtsp_token_new(GST_RTSP_TOKEN_MEDIA_FACTORY_ROLE, G_TYPE_STRING, "camera-user", NULL);
    char* basic = gst_rtsp_auth_make_basic(name, colon + 1);
    gst_rtsp_auth_add_basic(auth, basic, token);
    g_free(basic);
    gst_rtsp_token_unref(token);
    gst_rtsp_server_set_auth(server, auth);
    g_object_unref(auth);
    g_free(name);
  }

  GMainLoop* loop = g_main_loop_new(NULL, FALSE);
  if (gst_rtsp_server_attach(server, NULL) == 0) {
    fprintf(stderr, "rtsp_test_server: cannot listen on 127.0.0.1:%s\n", port);
    return 1;
  }
  g_unix_signal_add(SIGTERM, Quit, loop);
  g_unix_signal_add(SIGINT, Quit, loop);
  printf("ready %d\n", gst_rtsp_server_get_bound_port(server));
  fflush(stdout);
  g_main_loop_run(loop);
  g_main_loop_unref(loop);
  g_object_unref(server);
  return 0;
}
