"""Every list of the contract against include/tarvo.h, the hand-written
public header: the table (src/contract/tarvo_contract.h), the Tarvo.def and
the Python tables this build generated from it, the source tree's copy of
the Python tables and the module's version.

    check_contract.py SOURCE_DIR BUILD_DIR VERSION
"""
import pathlib
import re
import runpy
import sys

source, build, version = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2]), sys.argv[3]
failures = []


def expect(what, found, wanted):
    if found != wanted:
        failures.append(f"{what}:\n  found  {found!r}\n  wanted {wanted!r}")


def comment_text(text):
    """A comment's words, without its leading stars and line breaks."""
    return " ".join(" ".join(re.sub(r"^\s*\*", "", line) for line in text.splitlines()).split())


# What tarvo.h says.
header = (source / "include/tarvo.h").read_text()
results = [(int(value), name, text) for name, value, text in
           re.findall(r"#define (ERR_\w+)\s+\((-\d+)\)\s*/\* (.*?) \*/", header)]
functions = []
for name, parameters in re.findall(r"TARVO_API\(int\) (sio_\w+)\(([^)]*)\);", header):
    shape, names = "", []
    for parameter in parameters.split(","):
        *type_words, word = parameter.replace("*", " * ").split()
        kind = " ".join(type_words)
        letter = {"int": "p" if word == "port" else "i", "char *": "o", "const char *": "d"}[kind]
        shape += "n" if letter == "i" and shape[-1:] in ("o", "d") else letter
        names.append(word)
    functions.append((name, shape, " ".join(names)))
words = comment_text(header)
rates = [int(rate) for rate in re.search(r"baudIndex 0\.\.19 picks ([\d ]+) bit/s", words).group(1).split()]
max_rate = int(re.search(r"any rate from 0 to (\d+) bit/s", words).group(1))
rule = re.search(r"mode bits 0-1 data bits \(5 \+ value\), bit 2 two stop bits, bits 3-5 parity \(([^)]*)\)", words)
data_bits = [(str(5 + value), value) for value in range(4)]
stop_bits = [("1", 0x00), ("2", 0x04)]
parities = [(word[0].upper(), int(bits, 16)) for bits, word in re.findall(r"(0x[0-9a-f]{2}) (\w+)", rule.group(1))]
expect("tarvo.h: functions found", len(functions), 16)
expect("tarvo.h: result codes found", [value for value, _, _ in results], list(range(-20001, -20012, -1)))
expect("tarvo.h: rates found", len(rates), 20)

# The table.
table = (source / "src/contract/tarvo_contract.h").read_text()
expect("table: functions",
       re.findall(r'^    X\((sio_\w+), \w+, "(\w+)", "([^"]*)"', table, re.M), functions)
expect("table: result codes", [(int(v), n, t) for v, n, t in
                               re.findall(r'^    X\((-\d+), (ERR_\w+), "([^"]*)"\)', table, re.M)], results)
rates_list = re.search(r"#define TARVO_CONTRACT_RATES\(X\)((?:.*\\\n)*.*)", table).group(1)
expect("table: rates", [int(rate) for rate in re.findall(r"X\((\d+)\)", rates_list)], rates)
expect("tarvo.h: the highest rate of sio_baud is the last of the table", max_rate, rates[-1])


def field(name):
    entries = re.search(rf"#define TARVO_CONTRACT_{name}\(X\)((?:.*\\\n)*.*)", table).group(1)
    return [(letter, int(bits, 16)) for letter, bits in re.findall(r"X\('(.)', (0x[0-9a-f]+)", entries)]


expect("table: data bits", field("DATA_BITS"), data_bits)
expect("table: stop bits", field("STOP_BITS"), stop_bits)
expect("table: parities", field("PARITIES"), parities)
for mask, wanted in (("DATA_BITS", 0x03), ("STOP_BITS", 0x04), ("PARITY", 0x38)):
    found = re.search(rf"#define TARVO_CONTRACT_{mask}_MASK (0x[0-9a-f]+)", table)
    expect(f"table: {mask} mask", found and int(found.group(1), 16), wanted)

# What the build generated from it.
definition = (build / "Tarvo.def").read_text()
expect("Tarvo.def: exports", definition.split("EXPORTS", 1)[1].split(), [name for name, _, _ in functions])
generated = runpy.run_path(str(build / "contract/_contract.py"))
expect("Python: functions", list(generated["FUNCTIONS"]), [(name, shape) for name, shape, _ in functions])
expect("Python: result codes", list(generated["RESULTS"]), results)
expect("Python: rates", (list(generated["RATES"]), generated["MAX_RATE"]), (rates, max_rate))
modes = {data + parity + stop: d | p | s for data, d in data_bits for parity, p in parities for stop, s in stop_bits}
expect("Python: line modes", generated["LINE_MODES"], modes)

# The source tree's copy, which `pip install ./python` installs.
copy = source / "python/tarvo/_contract.py"
if copy.read_text() != (build / "contract/_contract.py").read_text():
    failures.append(f"{copy} differs from what the table gives: run cmake -P cmake/contract.cmake")
expect("python/tarvo/_version.py", runpy.run_path(str(source / "python/tarvo/_version.py"))["__version__"], version)

for failure in failures:
    print("FAIL", failure)
print(f"{len(functions)} functions, {len(results)} result codes, {len(rates)} rates, {len(modes)} line formats: "
      + ("differences" if failures else "all lists agree with tarvo.h"))
sys.exit(1 if failures else 0)
