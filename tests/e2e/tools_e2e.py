"""End to end: tourplan-check and tourplan-draw on the bundled instances, then on broken tours
and files, each refused with its exact message."""
import os
import re
import shutil
import struct
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import RunCase  # noqa: E402
from import_e2e import RAW, TSPLIB, published_optima, read  # noqa: E402

CHECK = ""
DRAW = ""
SMALL = b"4\r\n0 1 9 9\r\n9 0 1 9\r\n9 9 0 1\r\n1 9 9 0\r\n"


def costs_of(dat):
    numbers = [int(x) for x in read(os.path.join(TSPLIB, dat)).split()]
    n = numbers[0]
    return [numbers[1 + r * n: 1 + (r + 1) * n] for r in range(n)]


def tour_cost(costs, tour):
    return sum(costs[a - 1][b - 1] for a, b in zip(tour, tour[1:] + tour[:1]))


def tsplib_tour(name, tour, cost):
    """The TSPLIB TOUR layout that other tools read."""
    return (f"NAME : {name}\nTYPE : TOUR\nCOMMENT : Length = {cost}\nDIMENSION : {len(tour)}\n"
            "TOUR_SECTION\n" + "".join(f"{p}\n" for p in tour) + "-1\nEOF\n").encode()


class ToolCase(RunCase):
    def run_tool(self, program, args):
        done = subprocess.run([program, *args], cwd=self.folder, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
        return done.returncode, done.stdout, done.stderr

    def check_ok(self, args):
        status, stdout, stderr = self.run_tool(CHECK, args)
        self.assertEqual((status, stderr), (0, b""), args)
        return stdout.decode().splitlines()[-1]

    def draws(self, instance, tour, cost):
        """Draws, and renders the picture with a real SVG renderer at its own size."""
        status, _, stderr = self.run_tool(DRAW, [instance, tour, "picture.svg"])
        self.assertEqual((status, stderr), (0, b""), instance)
        svg = read(os.path.join(self.folder, "picture.svg")).decode()
        self.assertIn(f": tour cost {cost}, ", svg)
        rendered = subprocess.run(["rsvg-convert", "picture.svg", "-o", "picture.png"],
                                  cwd=self.folder, stderr=subprocess.PIPE, timeout=120)
        self.assertEqual((rendered.returncode, rendered.stderr), (0, b""), instance)
        png = read(os.path.join(self.folder, "picture.png"))
        self.assertEqual(png[:8], b"\x89PNG\r\n\x1a\n")
        width, height = struct.unpack(">II", png[16:24])
        size = re.search(r'width="([\d.]+)" height="([\d.]+)"', svg)
        self.assertEqual((width, height), tuple(round(float(v)) for v in size.groups()))


class RoundTrip(ToolCase):
    def test_solved_instances_check_to_their_optimum_export_and_draw(self):
        drawn = 0
        for dat, (points, optimum) in sorted(published_optima().items()):
            if points > 24:
                continue
            raw = [name for name in os.listdir(RAW) if name.startswith(dat[:-4] + ".")][0]
            self.assertEqual(self.run_tourplan([os.path.join(TSPLIB, dat), "sol.txt"]).status, 0)
            tour = [int(x) for x in read(os.path.join(self.folder, "sol.txt")).split()][:-1]
            problem = os.path.join(TSPLIB, dat)
            self.assertEqual(self.check_ok(["--tour-file", "out.tour", problem, "sol.txt"]),
                             f"Cost: {optimum}")
            # Named after the problem, in a file or on standard output alike.
            expected = tsplib_tour(dat[:-4], tour, optimum)
            self.assertEqual(read(os.path.join(self.folder, "out.tour")), expected, dat)
            self.assertEqual(self.run_tool(CHECK, ["--tour-file", "-", problem, "sol.txt"]),
                             (0, expected, b""), dat)
            self.assertEqual(self.check_ok([problem, "out.tour"]), f"Cost: {optimum}")
            if b"NODE_COORD_SECTION" in read(os.path.join(RAW, raw)):
                self.draws(os.path.join(RAW, raw), "sol.txt", optimum)
                drawn += 1
        self.assertEqual(drawn, 3)

    def test_display_data_instances_take_a_tour_from_elsewhere(self):
        for name in ("bays29", "bayg29"):
            # Another tool's tour: starts at 7 and runs backwards; read from point 1 on.
            tour = list(range(7, 0, -1)) + list(range(29, 7, -1))
            self.put("other.tour", tsplib_tour("other", tour, 0))
            cost = tour_cost(costs_of(name + ".dat"), tour)
            problem = os.path.join(TSPLIB, name + ".dat")
            self.assertEqual(self.check_ok(["--tour-file", "out.tour", problem, "other.tour"]),
                             f"Cost: {cost}")
            self.assertEqual(read(os.path.join(self.folder, "out.tour")),
                             tsplib_tour(name, [1] + list(range(29, 1, -1)), cost))
            self.draws(os.path.join(RAW, name + ".tsp"), "other.tour", cost)

    def test_labels_of_coinciding_and_close_points_stay_apart(self):
        # A cube's corners seen from above coincide in pairs; eight points lie 2 units from
        # another, two of them beside point 1, in a picture 1000 units wide.
        corners = [(x, y, z) for z in (0, 1000) for x, y in
                   ((0, 0), (1000, 0), (1000, 1000), (0, 1000))]
        close = [(500, 500, 0), (502, 500, 0), (500, 502, 0), (502, 502, 0), (504, 500, 0),
                 (500, 504, 0), (2, 0, 0), (0, 2, 0)]
        nodes = "".join("%d %d %d %d\n" % (i, *p) for i, p in enumerate(corners + close, 1))
        self.put("cube.tsp", ("TYPE: TSP\nDIMENSION: 16\nEDGE_WEIGHT_TYPE: EUC_3D\n"
                              "NODE_COORD_SECTION\n" + nodes).encode())
        self.put("cube.txt", b"".join(b" %d\n" % p for p in list(range(1, 17)) + [1]))
        self.assertEqual(self.run_tool(DRAW, ["cube.tsp", "cube.txt", "cube.svg"]), (0, b"", b""))
        svg = read(os.path.join(self.folder, "cube.svg")).decode()
        labels = re.findall(r'<text x="([\d.]+)" y="([\d.]+)"( fill="#cc0000" font-weight="bold")?>'
                            r"([\d,]+)</text>", svg)
        # Each point named once; the points drawn at one spot share a label.
        self.assertEqual(sorted(int(p) for *_, text in labels for p in text.split(",")),
                         list(range(1, 17)))
        self.assertEqual([(bold, text) for _, _, bold, text in labels if "," in text],
                         [(' fill="#cc0000" font-weight="bold"', "1,5"), ("", "2,6"), ("", "3,7"),
                          ("", "4,8")])
        # Point 1's mark: one element, the last drawn.
        marks = re.findall(r'<circle cx="([\d.]+)" cy="([\d.]+)" r="6" fill="#cc0000">', svg)
        self.assertEqual(len(marks), 1)
        self.assertEqual(svg.count("#cc0000"), 2)
        self.assertTrue(svg.endswith("<title>point 1, start and end</title></circle>\n</svg>\n"))
        # Text boxes as common sans-serif fonts set them at 11 px (0.65 em a character, 0.75 em
        # above the baseline, 0.15 em below), and the mark's: no two overlap.
        x, y = map(float, marks[0])
        boxes = [(x - 6, y - 6, x + 6, y + 6)] + [
            (float(x), float(y) - 8.25, float(x) + 7.15 * len(text), float(y) + 1.65)
            for x, y, _, text in labels]
        for i, a in enumerate(boxes):
            for b in boxes[:i]:
                self.assertFalse(a[0] < b[2] and b[0] < a[2] and a[1] < b[3] and b[1] < a[3],
                                 (a, b))


class Costs(ToolCase):
    def test_the_problem_reads_as_tourplan_reads_it_and_the_cost_is_exact(self):
        big = b"9223372036854775807"
        low = b"-9223372036854775808"
        cases = [
            (b"3\n0 %s %s\n%s 0 %s\n%s %s 0\n" % ((big,) * 6), b" 1\n 2\n 3\n 1\n",
             "27670116110564327421"),
            (b"3\n0 %s %s\n%s 0 %s\n%s %s 0\n" % ((low,) * 6), b" 1\n 2\n 3\n 1\n",
             "-27670116110564327424"),
            # Commas, a lone CR, radix, quotes, exponents, halves to even, numeric beginnings.
            (b'3\r0,&H10,2\r\n"5" 0 1e1\n2.5 3abc 0', b" 1\r\n 2\r\n 3\r\n 1\r\n", "28"),
            (b'3\r0,&H10,2\r\n"5" 0 1e1\n2.5 3abc 0', b"NAME: r\nTOUR_SECTION\n3 1 2 -1\n", "28"),
            (b'3\r0,&H10,2\r\n"5" 0 1e1\n2.5 3abc 0', b" 1\n 3\n 2\n 1", "10"),
            # Missing items read as 0.
            (b"3\n0 4", b" 1\n 2\n 3\n 1\n", "4"),
        ]
        for problem, tour, cost in cases:
            self.put("p.dat", problem)
            self.put("t.txt", tour)
            self.assertEqual(self.check_ok(["p.dat", "t.txt"]), "Cost: " + cost, problem)


class Refusals(ToolCase):
    def test_each_broken_file_is_refused_with_its_message_and_writes_nothing(self):
        tsplib = b"NAME : x\nTOUR_SECTION\n"
        cases = [
            # Solution files.
            (b" 2\r\n 1\r\n 3\r\n 4\r\n 2\r\n", "t.txt:1: the tour must start at point 1, not 2"),
            (b" 1\n 2\n 2\n 4\n 1\n", "t.txt:3: point 2 appears twice (first on line 2)"),
            (b" 1\n 2\n 5\n 4\n 1\n", "t.txt:3: point 5 is not one of 1..4"),
            (b" 1\n-2\n 3\n 4\n 1\n", "t.txt:2: point -2 is not one of 1..4"),
            (b" 1\n 2\n 3\n 4\n 3\n", "t.txt:5: the tour must end at point 1, not 3"),
            (b" 1\n 2\n 3\n", "t.txt:3: the tour ends after 3 lines; 4 points need 5 lines"),
            (b" 1\n 2\n 4\n 1\n", "t.txt:4: the tour ends after 4 lines; 4 points need 5 lines"),
            (b" 1\n 3\n 1", "t.txt:3: the tour ends after 3 lines; 4 points need 5 lines"),
            (b"", "t.txt: the tour ends after 0 lines; 4 points need 5 lines"),
            (b" 1\n 2\n 3\n 4\n 1\n\n", "t.txt:6: more lines than a tour has: 4 points need 5 lines"),
            (b"1\n 2\n 3\n 4\n 1\n", "t.txt:1: expected a space or '-' then digits, found '1'"),
            (b" 1\r 2\n 3\n 4\n 1\n",
             "t.txt:1: expected a space or '-' then digits, found ' 1\\r 2'"),
            (b" 1\n 2 \n 3\n 4\n 1\n", "t.txt:2: expected a space or '-' then digits, found ' 2 '"),
            # TSPLIB tour files.
            (b"TYPE : TSP\nTOUR_SECTION\n1 2 3 4\n-1\n", "t.txt:1: TYPE 'TSP' is not TOUR"),
            (b"DIMENSION : 5\n", "t.txt:1: DIMENSION '5' does not match the problem's 4 points"),
            (tsplib + b"1 2 3\n-1\n", "t.txt:4: TOUR_SECTION ends after 3 of 4 points"),
            (tsplib + b"1 2 3 4\nEOF\n", "t.txt:3: TOUR_SECTION has no -1 after its points"),
            (tsplib + b"1 2 3 4 2 -1\n",
             "t.txt:3: TOUR_SECTION holds more than 4 points; -1 must follow the last"),
            (tsplib + b"1 2\n2 4 -1\n", "t.txt:4: point 2 appears twice (first on line 3)"),
            (tsplib + b"1 2 3 4 -1 5\n", "t.txt:3: nothing may follow -1 on its line"),
            (tsplib + b"1 2 x 4\n-1\n", "t.txt:3: 'x' is not a point number"),
            (b"NAME : x\n", "t.txt: no TOUR_SECTION"),
            (b"NAME : x\nSIZE : 4\n", "t.txt:2: unknown keyword 'SIZE'"),
            (b"NAME x\n", "t.txt:1: NAME needs ':' before its value"),
            (b"NAME : x\nNAME : y\n", "t.txt:2: NAME appears twice"),
        ]
        for tour, message in cases:
            self.put("t.txt", tour)
            self.refused(CHECK, ["--tour-file", "out.tour", "p.dat", "t.txt"],
                         "tourplan-check: " + message)
        self.put("t.txt", b" 1\n 2\n 3\n 4\n 1\n")
        os.mkdir(os.path.join(self.folder, "folder"))
        self.put("one.dat", b"1\r\n0\r\n")
        self.put("huge.dat", b"1000000000\r\n")
        shutil.copy(os.path.join(RAW, "gr17.tsp"), self.folder)
        shutil.copy(os.path.join(RAW, "burma14.tsp"), self.folder)
        for args, message in [
            (["nothere.dat", "t.txt"], "nothere.dat: cannot open: No such file or directory"),
            (["folder", "t.txt"], "folder: cannot open: not a regular file"),
            (["one.dat", "t.txt"], "one.dat:1: N is 1; a tour needs at least 2 points"),
            (["gr17.tsp", "t.txt"], "gr17.tsp: looks like a TSPLIB file, not a tourplan problem"
             " file; convert it with tourplan-import, or solve it with tourplan-solve"),
            (["p.dat", "nothere.txt"], "nothere.txt: cannot open: No such file or directory"),
            (["--tour-file", "no/out.tour", "p.dat", "t.txt"],
             "no/out.tour: cannot create: No such file or directory"),
            (["--tour-file", "folder", "p.dat", "t.txt"],
             "folder: not a regular file (use '-' for standard output)"),
        ]:
            self.refused(CHECK, args, "tourplan-check: " + message)
        self.refused(CHECK, ["huge.dat", "t.txt"], "tourplan-check: huge.dat: the 1000000000 x"
                     " 1000000000 cost matrix does not fit in memory", status=4)
        self.put("bad.tsp", b"TYPE: HCP\n")
        self.put("s14.txt", b"".join(b" %d\n" % p for p in list(range(1, 15)) + [1]))
        for args, message in [
            (["gr17.tsp", "t.txt", "out.svg"],
             "gr17.tsp: no coordinates to draw (no NODE_COORD_SECTION or DISPLAY_DATA_SECTION)"),
            (["bad.tsp", "t.txt", "out.svg"],
             "bad.tsp:1: TYPE HCP is not supported (supported: TSP, ATSP)"),
            (["burma14.tsp", "t.txt", "out.svg"],
             "t.txt:5: the tour ends after 5 lines; 14 points need 15 lines"),
            (["burma14.tsp", "s14.txt", "no/out.svg"],
             "no/out.svg: cannot create: No such file or directory"),
        ]:
            self.refused(DRAW, args, "tourplan-draw: " + message)

    def refused(self, program, args, message, status=1):
        self.put("p.dat", SMALL)
        before = sorted(os.listdir(self.folder))
        done = self.run_tool(program, args)
        self.assertEqual((done[0], done[1], done[2].decode()), (status, b"", message + "\n"),
                         args)
        self.assertEqual(sorted(os.listdir(self.folder)), before, args)

    def test_usage(self):
        for program, args in [(CHECK, ["p.dat"]), (CHECK, ["--tour-file", "a", "b"]),
                              (CHECK, ["-x", "a", "b"]), (DRAW, ["a", "b"]),
                              (DRAW, ["a", "--svg", "b"])]:
            status, stdout, stderr = self.run_tool(program, args)
            self.assertEqual((status, stdout), (2, b""), args)
            self.assertTrue(stderr.startswith(b"usage: "), args)


def main():
    global CHECK, DRAW
    for argument in list(sys.argv[1:]):
        for option in ("--check=", "--draw="):
            if argument.startswith(option):
                value = os.path.abspath(argument.split("=", 1)[1])
                if option == "--check=":
                    CHECK = value
                else:
                    DRAW = value
                sys.argv.remove(argument)
    if not CHECK or not DRAW:
        sys.exit("give --check=PATH and --draw=PATH")
    harness.main()


if __name__ == "__main__":
    main()
