#!/usr/bin/env python3
"""Draws Tessaly's artwork with ImageMagick and writes it under res/.

Everything is drawn from simple shapes here; run it again after changing a
picture and commit the results:

    python3 tools/make_artwork.py            # writes into <repo>/res

Needs ImageMagick's `convert` (6.x) and the DejaVu fonts.
"""
import math
import os
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RES = os.path.join(ROOT, "res")
FONT_BOLD = "DejaVu-Sans-Bold"
FONT = "DejaVu-Sans"
SS = 4  # supersampling factor: drawn large, then scaled down


def run(args):
    subprocess.run(["convert"] + args, check=True)


def icon(path, size, mvg, background="none"):
    """Draws MVG authored for a size x size canvas, supersampled."""
    big = size * SS
    run(["-size", f"{big}x{big}", f"xc:{background}",
         "-draw", f"scale {SS},{SS} " + mvg,
         "-resize", f"{size}x{size}", f"PNG32:{path}"])


def disabled(src, dst):
    """Greyed, faded copy for a disabled button."""
    run([src, "-colorspace", "Gray", "-fill", "white", "-colorize", "35%",
         "-channel", "A", "-evaluate", "multiply", "0.55", "+channel",
         "-colorspace", "sRGB", f"PNG32:{dst}"])


def gear(cx, cy, r_out, r_in, teeth):
    pts = []
    for i in range(teeth * 4):
        a = 2 * math.pi * i / (teeth * 4)
        r = r_out if (i % 4) in (1, 2) else r_in
        pts.append(f"{cx + r * math.cos(a):.2f},{cy + r * math.sin(a):.2f}")
    return "polygon " + " ".join(pts)


# ---------------------------------------------------------------------------
# Toolbar, 32 x 32
# ---------------------------------------------------------------------------

PAGE = ("stroke #555555 stroke-width 1 fill white "
        "polygon 6,3 21,3 26,8 26,29 6,29 "
        "fill #dddddd polygon 21,3 21,8 26,8 ")

TOOLBAR = {
    # A written page struck through: everything recorded goes.
    "Clear": PAGE +
        "stroke #9aa7b8 stroke-width 1.2 line 9,12 23,12 line 9,16 23,16 line 9,20 20,20 line 9,24 22,24 "
        "stroke #d32f2f stroke-width 3.2 stroke-linecap round line 5,7 27,28 line 27,7 5,28 ",
    # A gear with a plug in front of it: ports and protocols.
    "Configure":
        "stroke #37474f stroke-width 1 fill #90a4ae " + gear(14, 14, 11.5, 8.5, 9) + " "
        "fill #eceff1 circle 14,14 14,18.5 "
        "stroke #1b5e20 stroke-width 1 fill #43a047 roundrectangle 17,18 29,28 2,2 "
        "fill #1b5e20 rectangle 20,15 21.5,18 rectangle 24.5,15 26,18 ",
    # A list of ticked boxes.
    "Options":
        "stroke #555555 stroke-width 1 fill #fffdf5 roundrectangle 4,3 28,29 2,2 "
        "fill white rectangle 7,7 12,12 rectangle 7,14.5 12,19.5 rectangle 7,22 12,27 "
        "stroke #2e7d32 stroke-width 1.8 fill none polyline 7.5,9.5 9.5,11.5 13.5,6 "
        "polyline 7.5,17 9.5,19 13.5,13.5 "
        "stroke #7986cb stroke-width 1.6 line 15,9.5 25,9.5 line 15,17 25,17 line 15,24.5 23,24.5 ",
    # A screen with data scrolling past.
    "RealTime":
        "stroke #263238 stroke-width 1 fill #cfd8dc roundrectangle 2,4 30,24 2,2 "
        "fill #102027 rectangle 4.5,6.5 27.5,21.5 "
        "stroke #69f0ae stroke-width 1.3 line 7,9.5 17,9.5 line 7,12.5 23,12.5 "
        "stroke #40c4ff line 7,15.5 14,15.5 line 16,15.5 25,15.5 stroke #69f0ae line 7,18.5 19,18.5 "
        "stroke #263238 fill #90a4ae polygon 12,24 20,24 22,28 10,28 ",
    # A warning sign.
    "Errors":
        "stroke #8d6e00 stroke-width 1.2 stroke-linejoin round fill #ffca28 polygon 16,3 30,28 2,28 "
        "stroke none fill #212121 polygon 14.6,10 17.4,10 16.8,21 15.2,21 circle 16,24.5 16,26 ",
    # Client, proxy and server boxes with arrows between them.
    "ConnectionDiagram":
        "stroke #1a237e stroke-width 1 fill #5c6bc0 roundrectangle 1.5,6 9.5,14 1.5,1.5 "
        "fill #ef6c00 stroke #bf360c roundrectangle 12,12 20,20 1.5,1.5 "
        "fill #26a69a stroke #004d40 roundrectangle 22.5,18 30.5,26 1.5,1.5 "
        "stroke #424242 stroke-width 1.4 fill none line 9.5,10 14,13.5 line 20,17 24.5,20.5 "
        "stroke none fill #424242 polygon 15.2,14.4 12.3,14.7 13.6,12.1 polygon 25.7,21.4 22.8,21.7 24.1,19.1 ",
    # A pushpin.
    "KeepOnTop":
        "stroke #7f0000 stroke-width 1 fill #e53935 roundrectangle 11,3 21,7 1.5,1.5 "
        "polygon 13,7 19,7 20,16 12,16 "
        "fill #c62828 roundrectangle 8,15 24,19 2,2 "
        "stroke #616161 stroke-width 1.8 line 16,19 16,30 ",
    # A floppy disk.
    "SaveData":
        "stroke #0d47a1 stroke-width 1 fill #1e88e5 polygon 3,3 25,3 29,7 29,29 3,29 "
        "fill #e3f2fd rectangle 8,3 22,12 fill #0d47a1 rectangle 17,4.5 20,10.5 "
        "fill white stroke #90caf9 rectangle 7,17 25,29 "
        "stroke #90a4ae stroke-width 1 line 9,21 23,21 line 9,24.5 23,24.5 ",
}

# ---------------------------------------------------------------------------
# Tree and list images, 16 x 16
# ---------------------------------------------------------------------------

TREE = {
    # A globe: everything.
    "AllActivity":
        "stroke #0d47a1 stroke-width 0.9 fill #42a5f5 circle 8,8 8,1.2 "
        "fill none stroke #e3f2fd stroke-width 0.7 ellipse 8,8 3,6.8 0,360 line 1.4,8 14.6,8 "
        "line 2.5,4.5 13.5,4.5 line 2.5,11.5 13.5,11.5 ",
    # A wall socket: a listening port.
    "Protocol":
        "stroke #e65100 stroke-width 0.9 fill #ffb74d roundrectangle 1.5,1.5 14.5,14.5 3,3 "
        "fill #fff3e0 circle 8,8 8,3.2 "
        "stroke none fill #5d4037 rectangle 5.8,6 6.9,9.5 rectangle 9.1,6 10.2,9.5 ",
    # Two computers joined: a pair of partners.
    "Connection":
        "stroke #283593 stroke-width 0.8 fill #9fa8da rectangle 0.8,3 6.5,8 rectangle 9.5,8 15.2,13 "
        "fill #e8eaf6 rectangle 1.8,4 5.5,7 rectangle 10.5,9 14.2,12 "
        "stroke #424242 stroke-width 1 fill none polyline 3.6,8 3.6,11 9.5,11 "
        "stroke #283593 line 2,10 5.2,10 line 10.8,14.5 14,14.5 ",
    # A live plug: one connection.
    "Socket":
        "stroke #1b5e20 stroke-width 0.9 fill #66bb6a roundrectangle 3,5 11,13 2,2 "
        "stroke #2e7d32 stroke-width 1.3 line 5.5,2 5.5,5 line 8.5,2 8.5,5 "
        "stroke #1b5e20 stroke-width 1.5 line 11,9 15,9 ",
    # The same plug, pulled and greyed, with a red slash.
    "SocketDisconnected":
        "stroke #616161 stroke-width 0.9 fill #bdbdbd roundrectangle 3,5 11,13 2,2 "
        "stroke #757575 stroke-width 1.3 line 5.5,2 5.5,5 line 8.5,2 8.5,5 "
        "stroke #c62828 stroke-width 1.8 stroke-linecap round line 1.5,14.5 14.5,1.5 ",
    # A small card with an arrow: one event.
    "Event":
        "stroke #6d4c41 stroke-width 0.8 fill #fff8e1 roundrectangle 1.5,2.5 14.5,13.5 1.5,1.5 "
        "stroke #f57f17 stroke-width 1.6 line 3.5,8 10.5,8 "
        "stroke none fill #f57f17 polygon 9.5,4.8 13,8 9.5,11.2 ",
}

NAV = {
    "First": "fill #1a237e rectangle 3,3 5,13 polygon 13,3 13,13 6,8 ",
    "Previous": "fill #1a237e polygon 11,3 11,13 4,8 ",
    "Next": "fill #1a237e polygon 5,3 5,13 12,8 ",
    "Last": "fill #1a237e rectangle 11,3 13,13 polygon 3,3 3,13 10,8 ",
}


def app_icon(path, size):
    mvg = ("stroke none fill #1565c0 roundrectangle 1,1 31,31 6,6 "
           "fill #1e88e5 roundrectangle 1,1 31,20 6,6 "
           "stroke #e3f2fd stroke-width 1.6 line 7,10 16,22 line 25,10 16,22 line 7,10 25,10 "
           "stroke #0d47a1 stroke-width 1 fill #ffffff circle 7,10 7,13.6 "
           "fill #ffb300 circle 16,22 16,26.4 fill #ffffff circle 25,10 25,13.6 ")
    big = size * SS
    run(["-size", f"{big}x{big}", "xc:none",
         "-draw", f"scale {big / 32},{big / 32} " + mvg,
         "-resize", f"{size}x{size}", f"PNG32:{path}"])


def close_picture(path):
    run(["-size", f"{12 * SS}x{11 * SS}", "xc:none",
         "-draw", f"scale {SS},{SS} stroke #424242 stroke-width 1.6 stroke-linecap round "
                  "line 2.5,2 9.5,9 line 9.5,2 2.5,9",
         "-resize", "12x11!", f"PNG32:{path}"])


def splash(path):
    w, h = 471, 291
    with tempfile.TemporaryDirectory() as tmp:
        base = os.path.join(tmp, "base.png")
        run(["-size", f"{w}x{h}", "gradient:#0b2545-#13315c", "-rotate", "0", base])
        # Three nodes joined by arrows, with packets on the way.
        nodes = [(80, 180), (235, 180), (390, 180)]
        draw = ["stroke #8da9c4 stroke-width 3 fill none",
                f"line {nodes[0][0] + 34},{nodes[0][1]} {nodes[1][0] - 34},{nodes[1][1]}",
                f"line {nodes[1][0] + 34},{nodes[1][1]} {nodes[2][0] - 34},{nodes[2][1]}",
                "stroke none fill #8da9c4",
                f"polygon {nodes[1][0] - 34},{nodes[1][1]} {nodes[1][0] - 46},{nodes[1][1] - 7} {nodes[1][0] - 46},{nodes[1][1] + 7}",
                f"polygon {nodes[2][0] - 34},{nodes[2][1]} {nodes[2][0] - 46},{nodes[2][1] - 7} {nodes[2][0] - 46},{nodes[2][1] + 7}",
                "fill #ffb300 circle 150,180 150,185 circle 318,180 318,185"]
        colours = ["#5c6bc0", "#ef6c00", "#26a69a"]
        for (x, y), c in zip(nodes, colours):
            draw.append(f"stroke #eef4ed stroke-width 2 fill {c} roundrectangle {x - 32},{y - 24} {x + 32},{y + 24} 8,8")
            draw.append(f"fill #eef4ed stroke none rectangle {x - 20},{y - 14} {x + 20},{y + 8}")
            draw.append(f"fill {c} rectangle {x - 16},{y - 10} {x + 16},{y + 4}")
        run([base, "-draw", " ".join(draw),
             "-font", FONT_BOLD, "-pointsize", "46", "-fill", "#eef4ed", "-annotate", "+28+72", "Tessaly",
             "-font", FONT, "-pointsize", "15", "-fill", "#8da9c4", "-annotate", "+31+100",
             "Interactive TCP debugging proxy",
             "-font", FONT, "-pointsize", "11", "-fill", "#eef4ed",
             "-annotate", "+58+226", "Client", "-annotate", "+222+226", "TSY", "-annotate", "+372+226", "Server",
             "-stroke", "#8da9c4", "-strokewidth", "1", "-draw", f"line 28,112 {w - 28},112",
             f"PNG32:{path}"])


def processing_clip(path):
    """A packet going back and forth between two computers, looped."""
    w, h = 38, 33
    frames = []
    positions = [9, 12, 15, 18, 21, 24, 27, 27, 24, 21, 18, 15, 12, 9]
    with tempfile.TemporaryDirectory() as tmp:
        for i, x in enumerate(positions):
            going = i < 7
            colour = "#43a047" if going else "#1e88e5"
            mvg = ("stroke #37474f stroke-width 1 fill #b0bec5 rectangle 1,8 9,16 rectangle 29,8 37,16 "
                   "fill #e3f2fd rectangle 2.5,9.5 7.5,14.5 rectangle 30.5,9.5 35.5,14.5 "
                   "fill #78909c rectangle 3,17 7,19 rectangle 31,17 35,19 "
                   "stroke #78909c stroke-width 1.2 line 9,22 29,22 "
                   f"stroke none fill {colour} circle {x},22 {x + 2.6},22")
            frame = os.path.join(tmp, f"f{i:02d}.png")
            run(["-size", f"{w * SS}x{h * SS}", "xc:#f0f0f0",
                 "-draw", f"scale {SS},{SS} " + mvg, "-resize", f"{w}x{h}!", frame])
            frames.append(frame)
        run(["-delay", "9", "-loop", "0"] + frames + ["-layers", "Optimize", path])


def tray_pictures(folder):
    """The tray icon's 5 x 5 grid: picture s2c * 5 + c2s + 1 shows the
    server-bound packet at step c2s along the upper track and the
    client-bound packet at step s2c along the lower one."""
    os.makedirs(folder, exist_ok=True)
    size = 24
    for s2c in range(5):
        for c2s in range(5):
            up = 7.5 + c2s * 2.25      # left to right
            down = 16.5 - s2c * 2.25   # right to left
            mvg = ("stroke #37474f stroke-width 0.8 fill #b0bec5 rectangle 0.5,4 5.5,19 rectangle 18.5,4 23.5,19 "
                   "fill #e3f2fd rectangle 1.5,5.5 4.5,9.5 rectangle 19.5,5.5 22.5,9.5 "
                   "stroke #607d8b stroke-width 1 line 6,8 18,8 line 6,15 18,15 "
                   f"stroke #1b5e20 stroke-width 0.6 fill #43a047 circle {up:.2f},8 {up + 2.2:.2f},8 "
                   f"stroke #0d47a1 fill #1e88e5 circle {down:.2f},15 {down + 2.2:.2f},15 ")
            icon(os.path.join(folder, f"Tray{s2c * 5 + c2s + 1:02d}.png"), size, mvg)


# ---------------------------------------------------------------------------
# Connection diagram: computers 57 x 49, arrows 128 x 48, the cloud 128 x 107
# ---------------------------------------------------------------------------

def diagram_clip(path, w, h, frames, delay):
    """An endlessly repeating GIF, one MVG picture (authored at w x h) a frame."""
    with tempfile.TemporaryDirectory() as tmp:
        names = []
        for i, mvg in enumerate(frames):
            frame = os.path.join(tmp, f"f{i:02d}.png")
            run(["-size", f"{w * SS}x{h * SS}", "xc:white",
                 "-draw", f"scale {SS},{SS} " + mvg, "-resize", f"{w}x{h}!", frame])
            names.append(frame)
        run(["-delay", str(delay), "-loop", "0"] + names + ["-layers", "Optimize", path])


def computer(screen, extra=""):
    """A monitor on its stand; `screen` fills the glass, `extra` draws on it."""
    return ("stroke #37474f stroke-width 1.2 fill #b0bec5 roundrectangle 6,3 51,36 3,3 "
            f"stroke #263238 stroke-width 0.8 fill {screen} rectangle 10,7 47,31 "
            "stroke #37474f stroke-width 1.2 fill #90a4ae polygon 23,36 34,36 36,42 21,42 "
            "fill #b0bec5 roundrectangle 12,42 45,46 2,2 " + extra)


def mix(a, b, t):
    """Colour between a and b (hex), t from 0 to 1."""
    pa = [int(a[i:i + 2], 16) for i in (1, 3, 5)]
    pb = [int(b[i:i + 2], 16) for i in (1, 3, 5)]
    return "#" + "".join(f"{round(x + (y - x) * t):02x}" for x, y in zip(pa, pb))


DARK, LIT = "#1c2429", "#4fc3f7"


def screen_lines(step, colour="#e1f5fe"):
    """Text lines scrolling on a lit screen."""
    lines = []
    for k in range(4):
        y = 10 + ((k * 5 + step * 2) % 20)
        length = 14 + (k * 7 + step * 3) % 18
        lines.append(f"line 13,{y} {13 + length},{y}")
    return f"stroke {colour} stroke-width 1.4 " + " ".join(lines) + " "


def computer_clips(out):
    on = [computer(LIT, screen_lines(i)) for i in range(6)]
    diagram_clip(os.path.join(out, "ComputerOn.gif"), 57, 49, on, 20)
    coming = [computer(mix(DARK, LIT, t / 5)) for t in range(6)] + on[:3]
    diagram_clip(os.path.join(out, "ComputerComingOn.gif"), 57, 49, coming, 15)
    going = ([computer(LIT, screen_lines(0))]
             + [computer(DARK, f"stroke none fill {mix(LIT, DARK, t / 4)} "
                               f"rectangle {10 + t * 4},{19 - 12 / (t + 1)} {47 - t * 4},{19 + 12 / (t + 1)} ")
                for t in range(5)]
             + [computer(DARK), computer(DARK)])
    diagram_clip(os.path.join(out, "ComputerGoingOff.gif"), 57, 49, going, 15)
    cross = "stroke white stroke-width 3 stroke-linecap round line 21,12 36,26 line 36,12 21,26 "
    error = [computer("#e53935", cross), computer("#7f0000", cross)]
    diagram_clip(os.path.join(out, "Error.gif"), 57, 49, error, 40)


def bolt(colour, shift, edge="#5d4037"):
    """A lightning bolt across the arrow's width; shift wiggles its bends."""
    pts = [(4, 24), (34, 14 + shift), (50, 30 - shift), (78, 14 + shift), (94, 30 - shift), (124, 24)]
    path = " ".join(f"{x},{y}" for x, y in pts)
    return (f"stroke {edge} stroke-width 6 stroke-linejoin round fill none polyline {path} "
            f"stroke {colour} stroke-width 3.5 polyline {path} ")


def shaft(colour, right):
    """A line across the arrow with its head on the right (or the left)."""
    head = "polygon 124,24 112,17 112,31" if right else "polygon 4,24 16,17 16,31"
    return f"stroke {colour} stroke-width 2.5 line 10,24 118,24 stroke none fill {colour} {head} "


def packet(x, colour, y=24):
    return (f"stroke #263238 stroke-width 0.8 fill {colour} roundrectangle {x - 6},{y - 5} {x + 6},{y + 5} 1.5,1.5 "
            f"stroke white stroke-width 1 line {x - 3},{y - 1.5} {x + 3},{y - 1.5} line {x - 3},{y + 1.5} {x + 1},{y + 1.5} ")


def arrow_clips(out):
    size = (128, 48)
    diagram_clip(os.path.join(out, "LightningBolt.gif"), *size,
                 [bolt("#ffeb3b", 0), bolt("#fff59d", 3), bolt("#fbc02d", -2), bolt("#fff59d", 2)], 12)
    refused = "stroke #c62828 stroke-width 5 stroke-linecap round line 52,8 76,40 line 76,8 52,40 "
    diagram_clip(os.path.join(out, "LightningBoltX.gif"), *size,
                 [bolt("#ffeb3b", 0) + refused, bolt("#fff59d", 3) + refused], 25)
    diagram_clip(os.path.join(out, "LightningBoltGrey.gif"), *size,
                 [bolt("#bdbdbd", 0, "#757575"), bolt("#e0e0e0", 1, "#757575")], 60)

    # Data: packets travelling along the shaft in their direction.
    for name, right, colour in (("C2SData", True, "#43a047"), ("S2CData", False, "#1e88e5")):
        frames = []
        for i in range(8):
            d = i * 12
            xs = [20 + (d + k * 32) % 96 for k in range(3)]
            if not right:
                xs = [128 - x for x in xs]
            frames.append(shaft("#78909c", right) + "".join(packet(x, colour) for x in xs))
        diagram_clip(os.path.join(out, name + ".gif"), *size, frames, 10)

    # Buffered: packets pile up against a wall at the far end; dangling adds
    # a clock, throttling lets them through one at a time, widely spaced.
    for name, right, colour, clock in (("C2SBuffer", True, "#43a047", False), ("S2CBuffer", False, "#1e88e5", False),
                                       ("C2SDangleBuffer", True, "#fb8c00", True),
                                       ("S2CDangleBuffer", False, "#fb8c00", True)):
        frames = []
        for i in range(6):
            wall = 108 if right else 20
            mvg = shaft("#b0bec5", right) + f"stroke none fill #6d4c41 rectangle {wall - 2},6 {wall + 2},42 "
            for k in range(i % 4 + 1):
                x = wall - 10 - k * 14 if right else wall + 10 + k * 14
                mvg += packet(x, colour)
            if clock:
                mvg += ("stroke #5d4037 stroke-width 1.2 fill #fff8e1 circle 64,12 64,3 "
                        f"stroke #5d4037 stroke-width 1.4 line 64,12 64,6 line 64,12 {64 + 5 * math.cos(i):.1f},{12 + 5 * math.sin(i):.1f} ")
            frames.append(mvg)
        diagram_clip(os.path.join(out, name + ".gif"), *size, frames, 25)

    for name, right, colour in (("C2SThrottle", True, "#8e24aa"), ("S2CThrottle", False, "#8e24aa")):
        frames = []
        for i in range(10):
            x = 20 + i * 10
            if not right:
                x = 128 - x
            valve = "stroke #455a64 stroke-width 1.5 fill #cfd8dc polygon 56,8 72,8 66,22 62,22 polygon 56,40 72,40 66,26 62,26 "
            frames.append(shaft("#78909c", right) + valve + packet(x, colour))
        diagram_clip(os.path.join(out, name + ".gif"), *size, frames, 15)

    # Dangling: a pause sign appears over the shaft; its end, a play sign.
    pause = "stroke #e65100 stroke-width 1 fill #ffb74d roundrectangle 52,8 60,40 2,2 roundrectangle 68,8 76,40 2,2 "
    diagram_clip(os.path.join(out, "DangleStart.gif"), *size,
                 [shaft("#b0bec5", True), shaft("#b0bec5", True) + pause, shaft("#b0bec5", True) + pause], 40)
    play = "stroke #1b5e20 stroke-width 1 fill #66bb6a polygon 54,8 78,24 54,40 "
    diagram_clip(os.path.join(out, "DangleStop.gif"), *size,
                 [shaft("#78909c", True), shaft("#78909c", True) + play, shaft("#78909c", True) + play], 40)


def cloud_picture(path):
    """The network beyond the proxy, before the server answered: a cloud."""
    w, h = 128, 107
    mvg = ("stroke #78909c stroke-width 2 fill #eceff1 "
           "circle 40,58 40,36 circle 70,46 70,18 circle 96,60 96,38 circle 60,70 60,48 circle 30,72 30,58 "
           "circle 104,76 104,62 "
           "stroke none fill #eceff1 rectangle 30,60 104,84 "
           "stroke #78909c stroke-width 2 line 30,86 104,86 "
           "stroke #90a4ae stroke-width 1.5 fill none line 40,64 96,64 line 46,72 88,72 ")
    run(["-size", f"{w * SS}x{h * SS}", "xc:white", "-draw", f"scale {SS},{SS} " + mvg,
         "-resize", f"{w}x{h}!", "-type", "TrueColor", f"BMP3:{path}"])


def diagram_artwork(out):
    computer_clips(out)
    arrow_clips(out)
    cloud_picture(os.path.join(out, "Cloud.bmp"))


def export_pictures(folder):
    """The saved HTML connection diagram shows the main window's own diagram
    pictures, all as GIF (Images/ beside the program)."""
    os.makedirs(folder, exist_ok=True)
    computer_clips(folder)
    arrow_clips(folder)
    with tempfile.TemporaryDirectory() as tmp:
        bmp = os.path.join(tmp, "Cloud.bmp")
        cloud_picture(bmp)
        run([bmp, os.path.join(folder, "Cloud.gif")])


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else RES
    for sub in ("toolbar", "tree", "nav"):
        os.makedirs(os.path.join(out, sub), exist_ok=True)
    for name, mvg in TOOLBAR.items():
        p = os.path.join(out, "toolbar", name + ".png")
        icon(p, 32, mvg)
        disabled(p, os.path.join(out, "toolbar", name + "_disabled.png"))
    for name, mvg in TREE.items():
        icon(os.path.join(out, "tree", name + ".png"), 16, mvg)
    for name, mvg in NAV.items():
        p = os.path.join(out, "nav", name + ".png")
        icon(p, 16, mvg)
        disabled(p, os.path.join(out, "nav", name + "_disabled.png"))
    app_icon(os.path.join(out, "Tessaly.png"), 64)
    close_picture(os.path.join(out, "Close.png"))
    splash(os.path.join(out, "Splash.png"))
    processing_clip(os.path.join(out, "Processing.gif"))
    tray_pictures(os.path.join(out, "tray"))
    diagram_artwork(out)
    export_pictures(os.path.join(ROOT if out == RES else out, "Images"))


if __name__ == "__main__":
    main()
