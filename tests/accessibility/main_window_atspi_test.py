#!/usr/bin/python3
"""The player as a screen reader meets it: the running window's tree read over
AT-SPI on a private desktop (Xvfb, a session bus of its own). Controls are found
by their place in the layout, never by what they are called; then what each says
is checked, and the status lines' changes are heard as events.

Usage: main_window_atspi_test.py TUNEWELL_EXECUTABLE
"""

import os
import shutil
import http.server
import json
import signal
import socket
import subprocess
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from atspi_session import PrivateSession, wait_for  # noqa: E402

CAPTION = "Tunewell 0.6 - by the Tunewell developers"
# Places in the window (left, top), from the layout; the status lines sit in
# GroupBox2 at (40, 266).
PLACES = {
    "Label1": (40, 27), "PaintFrame": (40, 367), "ListBox1": (40, 48),
    "GroupBox2": (40, 266), "Label3": (51, 282), "Label4": (43, 299),
    "Label5": (48, 346), "Button1": (328, 384), "ScrollBar1": (248, 8),
    "ComboBox1": (392, 8), "Button2": (473, 235), "Button3": (423, 384),
    "CheckBox1": (392, 64), "CheckBox2": (392, 89), "CheckBox3": (392, 113),
    "Button4": (414, 160),
}
# What a listener must hear: role, name, description.
EXPECTED = {
    "Form1": ("frame", CAPTION, ""),
    "Label1": ("label", "Sender:", ""),
    "Label2": ("label", "Volume: 48%", ""),
    "PaintFrame": ("image", "Oscilloscope", "The sound now playing"),
    "ListBox1": ("list", "Sender", ""),
    "GroupBox2": ("panel", "Currently playing", ""),
    "Label3": ("label", "", "Song title"),
    "Label4": ("label", "not playing", "Station or connection state"),
    "Label5": ("label", "", "Bit rate or server status"),
    "Button1": ("push button", "Play", ""),
    "ScrollBar1": ("scroll bar", "Volume", ""),
    "Button2": ("push button", "Close", ""),
    "Button3": ("push button", "About", ""),
    "CheckBox1": ("check box", "Start in system tray", ""),
    "CheckBox2": ("check box", "Play last sender", ""),
    "CheckBox3": ("check box", "No hint in the tray", ""),
    "Button4": ("push button", "Edit sender", ""),
}
STATIONS = ("[001]\r\nPath=http://127.0.0.1:%d/held\r\nTitle=Alpha\r\nAudioNum=1\r\n"
            "[002]\r\nPath=http://127.0.0.1:9/b\r\nTitle=Beta & Co\r\nAudioNum=1\r\n")


class DirectoryServer:
    """A loopback station directory: every search answers the same stations."""

    ANSWER = json.dumps([
        {"stationuuid": "11111111-0601-11e8-ae97-52543be04c81", "name": "Jazz One",
         "url_resolved": "http://127.0.0.1:9/jazz", "country": "France", "codec": "MP3",
         "bitrate": 128, "tags": "jazz", "votes": 50},
        {"stationuuid": "22222222-0601-11e8-ae97-52543be04c81", "name": "Jazz Two",
         "url": "ftp://127.0.0.1/x", "country": "Japan", "codec": "AAC", "bitrate": 64},
    ]).encode()

    def __init__(self):
        answer = self.ANSWER
        self.searches = []
        searches = self.searches

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                if self.path.startswith("/json/stations/search"):
                    searches.append(self.path)
                body = answer if self.path.startswith("/json/stations/search") else b"{}"
                self.send_response(200)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.port = self.httpd.server_address[1]
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()


class HeldServer:
    """A loopback server that takes the request and answers only when told, so
    the player stays in "connecting..." until then."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        self.answer = threading.Event()
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        connection, _ = self.listener.accept()
        connection.recv(65536)
        self.answer.wait(60)
        connection.sendall(b"HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n")
        connection.close()

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL: " + message)


def main(executable):
    session = PrivateSession()
    try:
        run(session, executable)
    finally:
        session.close()
    if failures:
        print("%d failure(s)" % len(failures))
        return 1
    print("PASS")
    return 0


def run(session, executable):
    server = HeldServer()
    directory = DirectoryServer()
    program = os.path.join(session.folder, "program")
    os.mkdir(program)
    shutil.copy(executable, os.path.join(program, "tunewell"))
    with open(os.path.join(program, "favorites.cfg"), "w", newline="") as f:
        f.write(STATIONS % server.port)
    with open(os.path.join(program, "radio_config.cfg"), "w", newline="") as f:
        f.write("[MAIN]\r\nLAST=0\r\nDirectoryServer=http://127.0.0.1:%d\r\n" % directory.port)
    player = session.start([os.path.join(program, "tunewell")], {
        "QT_QPA_PLATFORM": "xcb", "QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1",
        "SDL_AUDIODRIVER": "dummy"})

    # The reader's side joins the private desktop before pyatspi looks for it.
    for name in ("AT_SPI_BUS_ADDRESS", "WAYLAND_DISPLAY"):
        os.environ.pop(name, None)
    os.environ["DISPLAY"] = session.env["DISPLAY"]
    os.environ["DBUS_SESSION_BUS_ADDRESS"] = session.env["DBUS_SESSION_BUS_ADDRESS"]
    import pyatspi
    from gi.repository import GLib

    heard = []

    def on_name(event):
        # The event names its source only; its name is read as it is now.
        heard.append((event.source, event.source.name))

    pyatspi.Registry.registerEventListener(on_name, "object:property-change:accessible-name")
    context = GLib.MainContext.default()

    def pump():
        while context.iteration(False):
            pass

    def find_app():
        pump()
        for app in pyatspi.Registry.getDesktop(0):
            if app is not None and app.name == "tunewell" and app.childCount > 0:
                return app
        return None

    try:
        app = wait_for(find_app, 60, "the player on the accessibility bus")
    except AssertionError:
        apps = [(a.name, a.childCount) for a in pyatspi.Registry.getDesktop(0) if a is not None]
        print("applications on the bus: %r; player %s" % (
            apps, "running" if player.poll() is None else "ended with %r" % player.poll()))
        raise

    def frames():
        # A window that is going away can leave an empty slot for a moment.
        children = (app.getChildAtIndex(i) for i in range(app.childCount))
        return [child for child in children if child is not None]

    form = wait_for(lambda: next((f for f in frames() if f.name.startswith("Tunewell 0.6")),
                                 None), 30, "the main window")
    controls = locate(pyatspi, form)
    for name, (role, text, description) in EXPECTED.items():
        control = controls.get(name)
        check(control is not None, name + " not found at its place")
        if control is None:
            continue
        check(control.getRoleName() == role,
              "%s role %r, expected %r" % (name, control.getRoleName(), role))
        check(control.name == text, "%s name %r, expected %r" % (name, control.name, text))
        check(control.description == description,
              "%s description %r, expected %r" % (name, control.description, description))

    rows = [controls["ListBox1"].getChildAtIndex(i).name
            for i in range(controls["ListBox1"].childCount)]
    check(rows == ["Alpha", "Beta & Co"], "station rows %r" % rows)
    check(controls["ComboBox1"].getRoleName() == "combo box", "device box role")
    check(labels_of(pyatspi, controls["ComboBox1"]) == ["Output device"],
          "device box labelled by %r" % labels_of(pyatspi, controls["ComboBox1"]))
    check(controls["ScrollBar1"].queryValue().currentValue == 48, "volume value")
    for name in ("ListBox1", "Button1", "ScrollBar1", "ComboBox1", "Button2", "Button3",
                 "CheckBox1", "CheckBox2", "CheckBox3", "Button4"):
        check(controls[name].getState().contains(pyatspi.STATE_FOCUSABLE),
              name + " is not focusable")

    # The caption the desktop shows, with nothing appended by Qt.
    shown = subprocess.run(["xdotool", "search", "--name", "^Tunewell 0\\.6", "getwindowname"],
                           env=session.env, capture_output=True, text=True).stdout
    check(shown.strip() == CAPTION, "caption on the desktop %r" % shown.strip())

    print("Reading of the main window, in order:")
    for line in reading(pyatspi, form):
        print("  " + line)

    # Play: the button's new caption and "connecting..." are heard while the
    # server holds the answer; its refusal is heard as "not playing", then the
    # error box is read and closed.
    heard.clear()
    label4 = controls["Label4"]
    press(controls["Button1"])

    def said(control):
        pump()
        return [text for source, text in heard if source == control]

    check(wait_for(lambda: "connecting..." in said(label4), 30, "connecting... heard"),
          "Label4's connecting...")
    check(wait_for(lambda: "Stop" in said(controls["Button1"]), 30, "Stop heard"), "Stop")
    server.answer.set()
    box = wait_for(lambda: (pump(), alert_in(app))[1], 30, "the error box")
    check(said(label4)[-1:] == ["not playing"],
          "Label4's change to not playing not heard: %r" % said(label4))
    box_text = " ".join(box_texts(box))
    print("Error box: %s %r: %r" % (box.getRoleName(), box.name, box_text))
    check("Can't play the stream" in box_text and "(error code: " in box_text,
          "error box reads %r" % box_text)
    press(find_button(box, "OK"))
    wait_for(lambda: (pump(), alert_in(app) is None)[1], 30, "the error box to close")

    # The station editor reads its own controls.
    press(controls["Button4"])
    editor = wait_for(lambda: (pump(), next(
        (f for f in frames() if f.name == "Tunewell Editor for Simple Tunewell"), None))[1],
        30, "the station editor")
    names = [(c.getRoleName(), c.name) for c in walk(editor) if c is not editor and
             c.getState().contains(pyatspi.STATE_SHOWING) and c.getRoleName() != "list item"]
    print("Station editor: " + repr(names))
    for expected in [("label", "Name:"), ("label", "URL:"), ("list", "Stations"),
                     ("text", "URL"), ("text", "New name"), ("push button", "Add"),
                     ("push button", "Remove"), ("push button", "Save"),
                     ("push button", "Change name"), ("push button", "Close"),
                     ("push button", "Find...")]:
        check(expected in names, "editor lacks %r" % (expected,))
    check(all(name for role, name in names), "an unnamed control in the editor: %r" % names)
    check_finder(pyatspi, session, editor, frames, pump, directory)
    editor_name = editor.name
    press(find_button(editor, "Close"))
    wait_for(lambda: (pump(), all(f.name != editor_name for f in frames()))[1], 30,
             "the editor to close")

    player.send_signal(signal.SIGTERM)
    check(player.wait(30) == 0, "player exit code")


def check_finder(pyatspi, session, editor, frames, pump, directory):
    """The station finder: every control named, a row read as "name, country,
    codec, bit rate", and search, add and close with the keyboard alone."""
    press(find_button(editor, "Find..."))
    finder = wait_for(lambda: (pump(), next(
        (f for f in frames() if f.name == "Find stations"), None))[1], 30, "the finder")
    # Listen stays pressed while a preview plays: Qt reads such a button as a check box.
    controls = [(c.getRoleName(), c.name) for c in walk(finder) if c is not finder and
                c.getState().contains(pyatspi.STATE_FOCUSABLE) and
                c.getRoleName() not in ("table cell", "column header")]
    print("Find stations: " + repr(controls))
    for expected in [("text", "Station name"), ("text", "Tag"), ("text", "Country"),
                     ("text", "Language"), ("push button", "Search"), ("table", "Found stations"),
                     ("push button", "Add"), ("check box", "Listen"),
                     ("push button", "More results"), ("push button", "Cancel"),
                     ("push button", "Close")]:
        check(expected in controls, "finder lacks %r" % (expected,))
    check(all(name for role, name in controls), "an unnamed control in the finder: %r" % controls)
    check(directory.searches == [], "the directory was asked before a search")

    def keys(*names):
        subprocess.run(["xdotool", "key", "--delay", "30"] + list(names), env=session.env,
                       check=True)

    # The name field has the focus: type, Enter searches.
    subprocess.run(["xdotool", "type", "--delay", "30", "jazz"], env=session.env, check=True)
    keys("Return")
    table = next(c for c in walk(finder) if c.getRoleName() == "table")

    def cells():
        pump()
        return [c.name for c in walk(table) if c.getRoleName() == "table cell"]
    wait_for(lambda: "Jazz One, France, MP3, 128 kbps" in cells(), 30, "the first row's reading")
    check(any(c.startswith("Jazz Two, Japan, AAC, 64 kbps, cannot be added") for c in cells()),
          "greyed row reads %r" % cells())
    check(len(directory.searches) == 1 and "name=jazz" in directory.searches[0],
          "search sent %r" % directory.searches)
    # Tab to the table (past Search, Tag, Country, Language), Enter adds the first row.
    keys("Tab", "Tab", "Tab", "Tab", "Tab", "Return")
    stations = next(c for c in walk(editor) if c.getRoleName() == "list" and c.name == "Stations")

    def rows():
        pump()
        return [stations.getChildAtIndex(i).name for i in range(stations.childCount)]
    check(wait_for(lambda: "Jazz One" in rows(), 30, "the added station"), "not added")
    keys("Escape")
    wait_for(lambda: (pump(), all(f.name != "Find stations" for f in frames()))[1], 30,
             "the finder to close")


def walk(node):
    yield node
    for i in range(node.childCount):
        child = node.getChildAtIndex(i)
        if child is not None:
            yield from walk(child)


def locate(pyatspi, form):
    """Object name -> accessible, by each control's place in the window."""
    frame = form.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    found = {"Form1": form}
    for node in walk(form):
        if node is form or not node.getState().contains(pyatspi.STATE_SHOWING):
            continue
        box = node.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        place = (box.x - frame.x, box.y - frame.y)
        for name, wanted in PLACES.items():
            if place == wanted and node.getRoleName() != "list item":
                found.setdefault(name, node)
        # The volume reading may reach left of its designed place to stay whole.
        if place[1] == 8 and node.getRoleName() == "label" and box.x + box.width <= frame.x + 248:
            found["Label2"] = node
    return found


def labels_of(pyatspi, node):
    names = []
    for relation in node.getRelationSet():
        if relation.getRelationType() == pyatspi.RELATION_LABELLED_BY:
            names += [relation.getTarget(i).name for i in range(relation.getNTargets())]
    return names


def reading(pyatspi, form):
    """What a screen reader's review of the window says, object by object."""
    lines = []
    for node in walk(form):
        if node is not form and not node.getState().contains(pyatspi.STATE_SHOWING):
            continue
        parent = node.parent
        # A closed combo box's rows are not read; its selected row is its name.
        if parent is not None and parent.getRoleName() == "list" and \
                parent.parent is not None and parent.parent.getRoleName() == "combo box":
            continue
        if node.getRoleName() == "list" and node.parent.getRoleName() == "combo box":
            continue
        words = [node.name, node.getRoleName()]
        labels = labels_of(pyatspi, node)
        if labels and node.getRoleName() != "label":
            words.insert(0, " ".join(labels))
        if node.getRoleName() == "scroll bar":
            words.append("%d" % node.queryValue().currentValue)
        if node.description:
            words.append("(" + node.description + ")")
        lines.append(" ".join(w for w in words if w))
    return lines


def alert_in(app):
    for node in walk(app):
        if node.getRoleName() == "alert":
            return node
    return None


def box_texts(box):
    return [n.name for n in walk(box) if n.getRoleName() == "label" and n.name] + \
        [box.description]


def find_button(node, caption):
    for child in walk(node):
        if child.getRoleName() == "push button" and child.name == caption:
            return child
    raise AssertionError("no %r button" % caption)


def press(button):
    action = button.queryAction()
    names = [action.getName(i) for i in range(action.nActions)]
    action.doAction(names.index("Press") if "Press" in names else 0)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
