// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "frame_memory.h"

namespace {

// Called on whichever thread adds element somewhere inside the bin, before
// the element leaves NULL.
void OnDeepElementAdded(GstBin* bin,
                        GstBin* sub_bin,
                        GstElement* element,
                        gpointer user_data) {
  (void)bin;
  (void)sub_bin;
  (void)user_data;
  // By type name, which libav's elements share with their factories: the
  // factory itself may be gone from the registry by now.
  if (!g_str_has_prefix(G_OBJECT_TYPE_NAME(element), "avdec_") ||
      g_object_class_find_property(G_OBJECT_GET_CLASS(element),
                                   "direct-rendering") == nullptr) {
    return;
  }
  g_object_set(element, "direct-rendering", FALSE, nullptr);
}

}  // namespace

void DecodeIntoPooledFrames(GstElement* bin) {
  g_return_if_fail(GST_IS_BIN(bin));
  g_signal_connect(bin, "deep-element-added", G_CALLBACK(OnDeepElementAdded),
                   nullptr);
}
