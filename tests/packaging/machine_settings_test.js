// The installer's script (packaging/machine_settings.js) under node: its verdict on printer
// addresses against the program's own parser (the target_verdicts tool, argv[2]), the
// properties it takes and refuses, and the registry rows it adds for the install to write.
// Prints one line per failed check and "N passed, N failed"; exits 1 on any failure.
"use strict";
const childProcess = require("child_process");
const fs = require("fs");
const path = require("path");
const vm = require("vm");

const root = path.resolve(__dirname, "..", "..");
const source = fs.readFileSync(path.join(root, "packaging", "machine_settings.js"), "utf8");
let passed = 0;
let failed = 0;

function check(what, got, expected) {
    const a = JSON.stringify(got);
    const b = JSON.stringify(expected);
    if (a === b) {
        passed += 1;
    } else {
        failed += 1;
        console.log(`FAIL ${what}: got ${a} expected ${b}`);
    }
}

// A fresh copy of the script with the installer's objects it calls, recording what it does.
function loadScript(properties) {
    const done = {log: [], rows: []};
    function record(count) {
        const fields = [];
        return {
            get fields() { return fields; },
            StringData(i, value) { fields[i] = value; },
            IntegerData(i, value) { fields[i] = value; },
            count,
        };
    }
    // JScript sets a record's field as record.StringData(i) = text; node cannot assign to a
    // call, so the script's text is run with that form turned into a call.
    const adapted = source.replace(/\.(StringData|IntegerData)\(([^)]*)\) = ([^;]*);/g,
                                   ".$1($2, $3);");
    const context = {
        Installer: {CreateRecord: (count) => record(count)},
        Session: {
            Property: (name) => properties[name] || "",
            Message: (kind, rec) => done.log.push([kind, rec.fields[0]]),
            Database: {
                OpenView: (query) => ({
                    Execute: (rec) => done.rows.push([query.startsWith("INSERT INTO `Registry`"),
                                                      ...rec.fields.slice(1)]),
                    Close: () => {},
                }),
            },
        },
    };
    vm.createContext(context);
    vm.runInContext(adapted, context);
    return {context, done};
}

// ------------------------------------------------------------ printer addresses
// Each with the verdict the program gives it: the script must refuse exactly what the program
// refuses, so that an install never writes a printer a job cannot use.
const targets = [
    ["socket://10.1.2.3", true],
    ["SOCKET://printer-1.example_lan", true],
    ["socket://10.1.2.3:9100", true],
    ["socket://10.1.2.3:65535/", true],
    ["socket://10.1.2.3:1", true],
    ["socket://10.1.2.3:0", false],
    ["socket://10.1.2.3:65536", false],
    ["socket://10.1.2.3:", false],
    ["socket://10.1.2.3:91a", false],
    ["socket://10.1.2.3/x", false],
    ["socket://", false],
    ["socket://:9100", false],
    ["socket://print er", false],
    ["socket://fe80::1", false],
    ["socket://[fe80::1]:9100", true],
    ["socket://[fe80::12%2512]", true],
    ["socket://[fe80::12%25]", false],
    ["socket://[fe80::1", false],
    ["socket://[printer]", false],
    ["socket://%41bc", true],
    ["socket://a%4", false],
    ["socket://" + "h".repeat(255), true],
    ["socket://" + "h".repeat(256), false],
    ["serial:COM1", true],
    ["serial:com256", true],
    ["serial:COM257", false],
    ["serial:COM0", false],
    ["serial:COM01", false],
    ["serial:LPT1", false],
    ["serial:", false],
    ["serial:COM3?baud=19200&bits=7&parity=even&stop=2", true],
    ["serial:COM3?BAUD=4000000&Parity=SPACE", true],
    ["serial:COM3?baud=4000001", false],
    ["serial:COM3?baud=0", false],
    ["serial:COM3?bits=4", false],
    ["serial:COM3?bits=9", false],
    ["serial:COM3?parity=high", false],
    ["serial:COM3?stop=3", false],
    ["serial:COM3?bits=5&stop=2", false],
    ["serial:COM3?bits=5&stop=1.5", true],
    ["serial:COM3?stop=1.5", false],
    ["serial:COM3?speed=9600", false],
    ["serial:COM3?baud", false],
    ["serial:COM3?", false],
    ["serial:COM3?baud=9600&", false],
    ["parallel:LPT1", true],
    ["parallel:lpt9", true],
    ["parallel:LPT10", false],
    ["parallel:LPT1?baud=9600", false],
    ["parallel:COM1", false],
    ["driver:Zebra ZP 450", true],
    ["raw:Shipping%20Desk", true],
    ["raw:", false],
    ["raw:50%", false],
    ["raw:a%00b", false],
    ["lpd://10.1.2.3", false],
    ["10.1.2.3", false],
    ["", false],
];

const verdicts = childProcess.execFileSync(process.argv[2],
                                           {input: targets.map((t) => t[0]).join("\n") + "\n"})
                     .toString().split("\n");
const {context} = loadScript({});
targets.forEach(([text, usable], i) => {
    check(`the program on "${text}"`, verdicts[i].startsWith("ok"), usable);
    check(`the script on "${text}"`, context.targetProblem(text) === "", usable);
});

// ------------------------------------------------------------ the properties
// Each set of properties with what the script makes of it: the start of its problem, or the
// values and named printers it writes.
const sets = [
    [{}, {values: [], printers: []}],
    [{PRINTER: "socket://10.1.2.3", CONFIRM: "Received", CHECKSTATUS: "1"},
     {values: [["Printer", "socket://10.1.2.3"], ["CheckStatus", "1"], ["Confirm", "received"]],
      printers: []}],
    [{DELAY: "0", ATTEMPTS: "10", TIMEOUT: "86400"},
     {values: [["Delay", "0"], ["Attempts", "10"], ["Timeout", "86400"]], printers: []}],
    [{DELAY: "3600000", ATTEMPTS: "1", TIMEOUT: "0", CONFIRM: "off", CHECKSTATUS: "0"},
     {values: [["Delay", "3600000"], ["Attempts", "1"], ["Timeout", "0"], ["CheckStatus", "0"],
               ["Confirm", "off"]],
      printers: []}],
    [{DELAY: "007"}, {values: [["Delay", "7"]], printers: []}],
    [{DELAY: "3600001"}, "DELAY=\"3600001\" cannot be used: it must be a whole number from 0"],
    [{DELAY: "-1"}, "DELAY=\"-1\" cannot be used"],
    [{DELAY: "1e3"}, "DELAY=\"1e3\" cannot be used"],
    [{ATTEMPTS: "0"}, "ATTEMPTS=\"0\" cannot be used: it must be a whole number from 1 to 10"],
    [{ATTEMPTS: "11"}, "ATTEMPTS=\"11\" cannot be used"],
    [{TIMEOUT: "86401"}, "TIMEOUT=\"86401\" cannot be used"],
    [{TIMEOUT: " 5"}, "TIMEOUT=\" 5\" cannot be used"],
    [{CHECKSTATUS: "yes"}, "CHECKSTATUS=\"yes\" cannot be used"],
    [{CONFIRM: "always"}, "CONFIRM=\"always\" cannot be used: it must be off, received or printed"],
    [{ASSOCIATE: "1"}, {values: [], printers: []}],
    [{ASSOCIATE: "yes"}, "ASSOCIATE=\"yes\" cannot be used"],
    [{PRINTER: "socket://10.1.2.3:0"}, "PRINTER=\"socket://10.1.2.3:0\" cannot be used: the port"],
    [{PRINTER: "Shipping"}, "PRINTER=\"Shipping\" cannot be used: it is not socket://"],
    [{PRINTERS: "Shipping=socket://10.1.2.3;Small labels=serial:COM3?baud=9600;"},
     {values: [], printers: [["Shipping", "socket://10.1.2.3"],
                             ["Small labels", "serial:COM3?baud=9600"]]}],
    [{PRINTERS: "Shipping=socket://10.1.2.3;shipping=raw:Desk"},
     "PRINTERS=\"Shipping=socket://10.1.2.3;shipping=raw:Desk\" cannot be used: the name \"shipping\" is given twice"],
    [{PRINTERS: "Shipping"}, "PRINTERS=\"Shipping\" cannot be used: \"Shipping\" is not NAME=URI"],
    [{PRINTERS: "Desk:2=socket://h"}, "PRINTERS=\"Desk:2=socket://h\" cannot be used: the name \"Desk:2\" holds a colon"],
    [{PRINTERS: "-=socket://h"}, "PRINTERS=\"-=socket://h\" cannot be used: the name \"-\""],
    [{PRINTERS: "=socket://h"}, "PRINTERS=\"=socket://h\" cannot be used: \"=socket://h\" is not"],
    [{PRINTERS: "A=socket://h;B=serial:COM0"},
     "PRINTERS=\"A=socket://h;B=serial:COM0\" cannot be used: the printer \"B\": it names no serial"],
    // The first problem is the one reported.
    [{PRINTER: "bogus", DELAY: "x"}, "PRINTER=\"bogus\""],
];

for (const [properties, expected] of sets) {
    const result = loadScript(properties).context.machineSettings((n) => properties[n] || "");
    const name = JSON.stringify(properties);
    if (typeof expected === "string") {
        check(`problem of ${name}`, result.problem.startsWith(expected) ? expected : result.problem,
              expected);
    } else {
        check(`problem of ${name}`, result.problem, "");
        check(`values of ${name}`, result.values, expected.values);
        check(`printers of ${name}`, result.printers, expected.printers);
    }
}

// ------------------------------------------------------------ the rows the install writes
{
    const {context: script, done} = loadScript({
        PRINTER: "socket://[fe80::1]:9100",
        TIMEOUT: "20",
        PRINTERS: "Desk {1}=raw:#2 [Zebra]",
    });
    check("a good install's result", script.WriteMachineSettings(), 1);
    const key = "Software\\Velmora Software\\Tagwright\\1.0";
    check("a good install's rows", done.rows, [
        [true, "MachineSetting1", 2, key, "Printer", "socket://[\\[]fe80::1[\\]]:9100",
         "MachineSettings"],
        [true, "MachineSetting2", 2, key, "Timeout", "20", "MachineSettings"],
        [true, "MachineSetting3", 2, key + "\\Printers", "Desk [\\{]1[\\}]",
         "raw:#2 [\\[]Zebra[\\]]", "MachineSettings"],
        [true, "MachineSetting4", 2, "Software\\Velmora Software\\Tagwright\\Installer",
         "Printers", ";Desk [\\{]1[\\}]=raw:#2 [\\[]Zebra[\\]]", "MachineSettings"],
    ]);
    check("a good install's log", done.log, [[0x04000000, "Tagwright: 4 machine settings to write."]]);
}
{
    const {context: script, done} = loadScript({PRINTER: "#1", TIMEOUT: "20"});
    check("a refused install's result", script.WriteMachineSettings(), 3);
    check("a refused install's rows", done.rows, []);
    check("a refused install's log", done.log, [[0x04000000,
        "Tagwright: PRINTER=\"#1\" cannot be used: it is not socket://HOST[:PORT], serial:PORT, " +
        "parallel:PORT, driver:PRINTER or raw:PRINTER. Nothing was installed."]]);
}
{
    // A name may start with #; the list kept for a later version never does, as a search
    // would read it back with a second #. A list read back keeps its leading ";".
    const {context: script, done} = loadScript({PRINTERS: ";#3=raw:x"});
    script.WriteMachineSettings();
    check("a name starting with #", done.rows[0].slice(4, 6), ["#3", "raw:x"]);
    check("the list kept", done.rows[1].slice(4, 6), ["Printers", ";#3=raw:x"]);
}

console.log(`${passed} passed, ${failed} failed`);
process.exit(failed === 0 ? 0 : 1);
