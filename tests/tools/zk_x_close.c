// Copyright 2026 The Zelkoz Authors. All rights reserved.
//
// zk-x-close: asks an X11 top-level window to close, the way a window
// manager does when the user clicks the close button: a WM_PROTOCOLS client
// message carrying WM_DELETE_WINDOW. (Destroying the window instead would
// skip the application's close handling.)
//
//   zk-x-close [--id WINDOW] [--pid PID] [--name TITLE] [--wait MS]
//              [--find-only] [--unmapped]
//
// Windows are chosen by id, or among the top-level windows by _NET_WM_PID
// and/or by title (_NET_WM_NAME or WM_NAME, exact match). Only viewable
// windows count unless --unmapped is given; override-redirect windows (menus,
// tooltips) and input-only windows never count. --wait waits up to MS milliseconds for a matching
// window to appear. --find-only prints the matches without sending anything.
// Every matching window's id is printed on standard output, one per line,
// as 0x... hex.
//
// Exit status: 0 when at least one window matched (and was sent the
// request), 1 when none did, 2 on bad usage or when the display cannot be
// opened.

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <errno.h>
#include <poll.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

typedef struct {
  Window id;           // 0 when not chosen by id.
  long pid;            // 0 when not chosen by process.
  const char* name;    // NULL when not chosen by title.
  bool unmapped;       // Unmapped windows count too.
} Criteria;

typedef struct {
  Window* items;
  size_t count;
} WindowList;

static Atom g_net_wm_pid;
static Atom g_net_wm_name;
static Atom g_utf8_string;
static Atom g_wm_protocols;
static Atom g_wm_delete_window;

static bool g_x_error;

// Called for X errors: a window that goes away while it is examined is no
// reason to stop.
static int on_x_error(Display* display, XErrorEvent* event) {
  (void)display;
  (void)event;
  g_x_error = true;
  return 0;
}

static void usage(FILE* out) {
  fputs(
      "usage: zk-x-close [--id WINDOW] [--pid PID] [--name TITLE] [--wait MS]\n"
      "                  [--find-only] [--unmapped]\n",
      out);
}

static long long now_ms(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Returns the window's _NET_WM_PID, or 0 when it has none.
static long window_pid(Display* display, Window window) {
  Atom type = None;
  int format = 0;
  unsigned long count = 0, remaining = 0;
  unsigned char* data = NULL;
  long pid = 0;
  if (XGetWindowProperty(display, window, g_net_wm_pid, 0, 1, False,
                         XA_CARDINAL, &type, &format, &count, &remaining,
                         &data) == Success &&
      type == XA_CARDINAL && format == 32 && count == 1) {
    pid = (long)*(unsigned long*)data;
  }
  if (data != NULL) {
    XFree(data);
  }
  return pid;
}

// Returns true when the window's title is exactly `name`.
static bool window_has_name(Display* display, Window window, const char* name) {
  Atom type = None;
  int format = 0;
  unsigned long count = 0, remaining = 0;
  unsigned char* data = NULL;
  bool match = false;
  if (XGetWindowProperty(display, window, g_net_wm_name, 0, 4096, False,
                         g_utf8_string, &type, &format, &count, &remaining,
                         &data) == Success &&
      type == g_utf8_string && format == 8) {
    match = strlen(name) == count && memcmp(data, name, count) == 0;
  }
  if (data != NULL) {
    XFree(data);
    data = NULL;
  }
  if (type == g_utf8_string) {
    return match;
  }
  char* wm_name = NULL;
  if (XFetchName(display, window, &wm_name) && wm_name != NULL) {
    match = strcmp(wm_name, name) == 0;
    XFree(wm_name);
  }
  return match;
}

// Returns true when the window qualifies under the criteria.
static bool window_matches(Display* display, Window window,
                           const Criteria* criteria) {
  XWindowAttributes attributes;
  g_x_error = false;
  if (!XGetWindowAttributes(display, window, &attributes) || g_x_error) {
    return false;
  }
  // Menus and tooltips (override-redirect) and input-only helpers, such as
  // the client leader window that carries the process id too, are no
  // top-level windows that a window manager would close.
  if (attributes.override_redirect || attributes.class == InputOnly) {
    return false;
  }
  if (!criteria->unmapped && attributes.map_state != IsViewable) {
    return false;
  }
  if (criteria->pid != 0 && window_pid(display, window) != criteria->pid) {
    return false;
  }
  if (criteria->name != NULL &&
      !window_has_name(display, window, criteria->name)) {
    return false;
  }
  return !g_x_error;
}

// Collects the matching windows. Without a window manager the top-level
// windows are the root's children.
static void find_windows(Display* display, const Criteria* criteria,
                         WindowList* found) {
  found->count = 0;
  if (criteria->id != 0) {
    XWindowAttributes attributes;
    g_x_error = false;
    if (XGetWindowAttributes(display, criteria->id, &attributes) &&
        !g_x_error &&
        (criteria->unmapped || attributes.map_state == IsViewable)) {
      found->items = realloc(found->items, sizeof(Window));
      found->items[0] = criteria->id;
      found->count = 1;
    }
    return;
  }
  Window root_return = 0, parent = 0;
  Window* children = NULL;
  unsigned int count = 0;
  if (!XQueryTree(display, DefaultRootWindow(display), &root_return, &parent,
                  &children, &count)) {
    return;
  }
  found->items = realloc(found->items, sizeof(Window) * (count + 1));
  for (unsigned int i = 0; i < count; ++i) {
    if (window_matches(display, children[i], criteria)) {
      found->items[found->count++] = children[i];
    }
  }
  if (children != NULL) {
    XFree(children);
  }
}

// Sends the close request that a window manager sends.
static void send_close(Display* display, Window window) {
  XEvent event;
  memset(&event, 0, sizeof(event));
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = g_wm_protocols;
  event.xclient.format = 32;
  event.xclient.data.l[0] = (long)g_wm_delete_window;
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(display, window, False, NoEventMask, &event);
}

static bool parse_number(const char* text, long* value) {
  char* end = NULL;
  errno = 0;
  long parsed = strtol(text, &end, 0);
  if (errno != 0 || end == text || *end != '\0' || parsed < 0) {
    return false;
  }
  *value = parsed;
  return true;
}

int main(int argc, char** argv) {
  Criteria criteria = {0, 0, NULL, false};
  long wait_ms = 0;
  bool find_only = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    const bool has_value = i + 1 < argc;
    long value = 0;
    if (strcmp(arg, "--id") == 0 && has_value &&
        parse_number(argv[++i], &value) && value != 0) {
      criteria.id = (Window)value;
    } else if (strcmp(arg, "--pid") == 0 && has_value &&
               parse_number(argv[++i], &value) && value != 0) {
      criteria.pid = value;
    } else if (strcmp(arg, "--name") == 0 && has_value) {
      criteria.name = argv[++i];
    } else if (strcmp(arg, "--wait") == 0 && has_value &&
               parse_number(argv[++i], &value)) {
      wait_ms = value;
    } else if (strcmp(arg, "--find-only") == 0) {
      find_only = true;
    } else if (strcmp(arg, "--unmapped") == 0) {
      criteria.unmapped = true;
    } else if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
      usage(stdout);
      return 0;
    } else {
      usage(stderr);
      return 2;
    }
  }
  if (criteria.id == 0 && criteria.pid == 0 && criteria.name == NULL) {
    fputs("zk-x-close: give --id, --pid or --name\n", stderr);
    usage(stderr);
    return 2;
  }

  Display* display = XOpenDisplay(NULL);
  if (display == NULL) {
    fprintf(stderr, "zk-x-close: cannot open display %s\n",
            XDisplayName(NULL));
    return 2;
  }
  XSetErrorHandler(on_x_error);
  g_net_wm_pid = XInternAtom(display, "_NET_WM_PID", False);
  g_net_wm_name = XInternAtom(display, "_NET_WM_NAME", False);
  g_utf8_string = XInternAtom(display, "UTF8_STRING", False);
  g_wm_protocols = XInternAtom(display, "WM_PROTOCOLS", False);
  g_wm_delete_window = XInternAtom(display, "WM_DELETE_WINDOW", False);

  // New, mapped and renamed windows all show up as events on the root or on
  // its children, so waiting needs no polling.
  XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
  WindowList found = {NULL, 0};
  const long long deadline = now_ms() + wait_ms;
  for (;;) {
    find_windows(display, &criteria, &found);
    if (found.count > 0) {
      break;
    }
    // Watch property changes of every top-level window too: a title or a
    // pid may be set after the window is mapped.
    Window root_return = 0, parent = 0;
    Window* children = NULL;
    unsigned int count = 0;
    if (XQueryTree(display, DefaultRootWindow(display), &root_return, &parent,
                   &children, &count)) {
      for (unsigned int i = 0; i < count; ++i) {
        XSelectInput(display, children[i], PropertyChangeMask);
      }
      if (children != NULL) {
        XFree(children);
      }
    }
    XSync(display, False);
    long long left = deadline - now_ms();
    if (left <= 0) {
      break;
    }
    if (XPending(display) == 0) {
      struct pollfd fd = {ConnectionNumber(display), POLLIN, 0};
      if (poll(&fd, 1, (int)left) <= 0) {
        continue;  // Time is up (or interrupted); one more look, then stop.
      }
    }
    while (XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
    }
  }

  for (size_t i = 0; i < found.count; ++i) {
    if (!find_only) {
      send_close(display, found.items[i]);
    }
    printf("0x%lx\n", (unsigned long)found.items[i]);
  }
  XSync(display, False);
  const int status = found.count > 0 ? 0 : 1;
  if (status != 0) {
    fputs("zk-x-close: no matching window\n", stderr);
  }
  free(found.items);
  XCloseDisplay(display);
  return status;
}
