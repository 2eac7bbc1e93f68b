#!/usr/bin/python3
# Another X client for the clipboard and drag-and-drop tests.
#
#   xpeer.py owner TARGET=FILE ...   owns CLIPBOARD and offers each target
#                                    with the file's bytes (INCR above 64 KB);
#                                    prints "ready", serves for 20 seconds
#   xpeer.py silent                  owns CLIPBOARD and never answers
#   xpeer.py drop WINDOW URILIST     drags text/uri-list onto the window; prints
#                                    "status 1" or "status 0", then "finished"
#                                    when the target sent XdndFinished
import sys
import time

from Xlib import X, Xatom, display
from Xlib.protocol import event

CHUNK = 64 * 1024
d = display.Display()
screen = d.screen()
win = screen.root.create_window(0, 0, 1, 1, 0, screen.root_depth)
win.change_attributes(event_mask=X.PropertyChangeMask)
atom = lambda name: d.intern_atom(name)
CLIPBOARD, TARGETS, INCR = atom("CLIPBOARD"), atom("TARGETS"), atom("INCR")


def say(text):
    print(text, flush=True)


def notify(req, prop):
    ev = event.SelectionNotify(time=req.time, requestor=req.requestor, selection=req.selection,
                               target=req.target, property=prop)
    req.requestor.send_event(ev)
    d.flush()


def serve(offers, selection, until):
    sends = {}
    while time.time() < until:
        if not d.pending_events():
            time.sleep(0.005)
            continue
        e = d.next_event()
        if e.type == X.SelectionRequest:
            prop = e.property or e.target
            if e.target == TARGETS:
                e.requestor.change_property(prop, Xatom.ATOM, 32, [TARGETS] + list(offers))
                notify(e, prop)
            elif e.target in offers:
                data = offers[e.target]
                if len(data) > CHUNK:
                    e.requestor.change_attributes(event_mask=X.PropertyChangeMask)
                    e.requestor.change_property(prop, INCR, 32, [len(data)])
                    sends[(e.requestor.id, prop)] = [e.requestor, e.target, data, 0]
                else:
                    e.requestor.change_property(prop, e.target, 8, data)
                notify(e, prop)
            else:
                notify(e, X.NONE)
            if selection is not None:
                selection.append(e.target)
        elif e.type == X.PropertyNotify and e.state == X.PropertyDelete:
            s = sends.get((e.window.id, e.atom))
            if s:
                requestor, target, data, offset = s
                piece = data[offset:offset + CHUNK]
                requestor.change_property(e.atom, target, 8, piece)
                d.flush()
                s[3] = offset + len(piece)
                if not piece:
                    del sends[(e.window.id, e.atom)]
        elif e.type == X.SelectionClear:
            return


def owner(args):
    offers = {}
    for a in args:
        name, path = a.split("=", 1)
        with open(path, "rb") as f:
            offers[atom(name)] = f.read()
    win.set_selection_owner(CLIPBOARD, X.CurrentTime)
    d.flush()
    say("ready")
    serve(offers, None, time.time() + 20)


def silent():
    win.set_selection_owner(CLIPBOARD, X.CurrentTime)
    d.flush()
    say("ready")
    time.sleep(20)


def client_message(target, name, words):
    data = (32, (words + [0] * 5)[:5])
    ev = event.ClientMessage(window=target, client_type=atom(name), data=data)
    target.send_event(ev)
    d.flush()


def wait_message(name, limit):
    wanted = atom(name)
    until = time.time() + limit
    while time.time() < until:
        if not d.pending_events():
            time.sleep(0.005)
            continue
        e = d.next_event()
        if e.type == X.ClientMessage and e.client_type == wanted:
            return e
        if e.type == X.SelectionRequest:
            return e
    return None


def drop(window_id, path):
    target = d.create_resource_object("window", int(window_id, 0))
    with open(path, "rb") as f:
        uris = f.read()
    uri_list = atom("text/uri-list")
    client_message(target, "XdndEnter", [win.id, 5 << 24, uri_list, 0, 0])
    client_message(target, "XdndPosition", [win.id, 0, (10 << 16) | 10, X.CurrentTime,
                                            atom("XdndActionCopy")])
    e = wait_message("XdndStatus", 5)
    if e is None:
        say("no status")
        return
    accepted = e.data[1][1] & 1
    say("status %d" % accepted)
    if not accepted:
        client_message(target, "XdndLeave", [win.id, 0, 0, 0, 0])
        return
    win.set_selection_owner(atom("XdndSelection"), X.CurrentTime)
    client_message(target, "XdndDrop", [win.id, 0, X.CurrentTime, 0, 0])
    until = time.time() + 5
    while time.time() < until:
        e = wait_message("XdndFinished", until - time.time())
        if e is None:
            break
        if e.type == X.SelectionRequest:
            if e.target == uri_list:
                e.requestor.change_property(e.property, uri_list, 8, uris)
                notify(e, e.property)
            else:
                notify(e, X.NONE)
            continue
        say("finished %d" % (e.data[1][1] & 1))
        return
    say("no finish")


if sys.argv[1] == "owner":
    owner(sys.argv[2:])
elif sys.argv[1] == "silent":
    silent()
elif sys.argv[1] == "drop":
    drop(sys.argv[2], sys.argv[3])
