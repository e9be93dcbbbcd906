// The installer's check and write of the machine-wide settings (JScript, run by Windows
// Installer from the package's Binary table). It checks every property an administrator
// gives (PRINTER, PRINTERS, DELAY, ATTEMPTS, TIMEOUT, CHECKSTATUS, CONFIRM, ASSOCIATE) the way
// tagwright.exe reads the values, and only when all of them hold adds the registry rows that
// write them to HKLM\Software\Velmora Software\Tagwright\1.0. A property that does not hold
// ends the install before anything is installed, with one line in the install log saying why.
// Written for the script engine of Windows Installer (JScript 5, no newer syntax); the tests
// load the same file into node.

var kMachineKey = "Software\\Velmora Software\\Tagwright\\1.0";
var kInstallerKey = "Software\\Velmora Software\\Tagwright\\Installer";
// The component that carries the rows: always installed, and its uninstall removes the key.
var kComponent = "MachineSettings";
var kHklm = 2;
var kLogOnly = 0x04000000; // INSTALLMESSAGE_INFO: a line in the log, no window
var kSucceeded = 1;
var kFailed = 3;
// What the program reads of a value: longer texts do not fit its buffer.
var kLongestValue = 2047;
var kLongestHost = 255;

var kSchemes = ["socket://", "serial:", "parallel:", "driver:", "raw:"];

function startsWithIgnoringCase(text, prefix) {
    return text.length >= prefix.length &&
           text.substring(0, prefix.length).toLowerCase() == prefix;
}

// Decimal digits only, no sign, from lowest to highest; null for anything else.
function decimal(text, lowest, highest) {
    if (!/^[0-9]+$/.test(text) || text.length > 10) {
        return null;
    }
    var value = parseInt(text, 10);
    return value >= lowest && value <= highest ? value : null;
}

// %XX decoded; null when a % is not followed by two hexadecimal digits or decodes to NUL.
function decodePercents(text) {
    var out = "";
    for (var i = 0; i < text.length; ++i) {
        var c = text.charAt(i);
        if (c == "%") {
            var hex = text.substring(i + 1, i + 3);
            if (!/^[0-9A-Fa-f]{2}$/.test(hex) || hex == "00") {
                return null;
            }
            c = String.fromCharCode(parseInt(hex, 16));
            i += 2;
        }
        out += c;
    }
    return out;
}

function socketProblem(rest) {
    if (rest.charAt(rest.length - 1) == "/") {
        rest = rest.substring(0, rest.length - 1);
    }
    var host;
    var after;
    if (rest.charAt(0) == "[") {
        var closing = rest.indexOf("]");
        if (closing < 0) {
            return "an IPv6 address opened with [ is never closed with ]";
        }
        host = decodePercents(rest.substring(1, closing));
        after = rest.substring(closing + 1);
        if (host === null) {
            return "a % is not followed by two hexadecimal digits (write %25 for a % sign)";
        }
        var zone = host.indexOf("%");
        var address = zone < 0 ? host : host.substring(0, zone);
        if (!/^[0-9A-Fa-f:.]*$/.test(address) || address.indexOf(":") < 0) {
            return "there is no IPv6 address between [ and ]";
        }
        if (zone >= 0 && !/^[A-Za-z0-9\-._~]+$/.test(host.substring(zone + 1))) {
            return "there is no zone of letters and digits after %25";
        }
    } else {
        var colon = rest.indexOf(":");
        host = colon < 0 ? rest : rest.substring(0, colon);
        after = colon < 0 ? "" : rest.substring(colon);
        if (after.indexOf(":", 1) >= 0) {
            return "an IPv6 address must go between [ and ]";
        }
        if (host.length == 0) {
            return "it names no host (write socket://HOST or socket://HOST:PORT)";
        }
        host = decodePercents(host);
        if (host === null) {
            return "a % is not followed by two hexadecimal digits (write %25 for a % sign)";
        }
        if (!/^[A-Za-z0-9.\-_]+$/.test(host)) {
            return "the host has characters a host name cannot have";
        }
    }
    if (host.length > kLongestHost) {
        return "the host is too long";
    }
    if (after.length == 0) {
        return "";
    }
    if (after.charAt(0) != ":") {
        return "something after the host is not a port";
    }
    return decimal(after.substring(1), 1, 65535) === null ? "the port must be 1 to 65535" : "";
}

function portName(text, prefix, highest) {
    return startsWithIgnoringCase(text, prefix) && text.charAt(3) != "0" &&
           decimal(text.substring(3), 1, highest) !== null;
}

function lineSettingsProblem(query) {
    var bits = 8;
    var stop = "1";
    var settings = query.split("&");
    for (var i = 0; i < settings.length; ++i) {
        var equals = settings[i].indexOf("=");
        if (equals < 0) {
            return "a line setting has no '=' (write baud=9600&bits=8&parity=none&stop=1)";
        }
        var key = settings[i].substring(0, equals).toLowerCase();
        var value = settings[i].substring(equals + 1);
        if (key == "baud") {
            if (decimal(value, 1, 4000000) === null) {
                return "the baud rate must be 1 to 4000000";
            }
        } else if (key == "bits") {
            bits = decimal(value, 5, 8);
            if (bits === null) {
                return "the data bits must be 5, 6, 7 or 8";
            }
        } else if (key == "parity") {
            if (!/^(none|odd|even|mark|space)$/i.test(value)) {
                return "the parity must be none, odd, even, mark or space";
            }
        } else if (key == "stop") {
            if (value != "1" && value != "1.5" && value != "2") {
                return "the stop bits must be 1, 1.5 or 2";
            }
            stop = value;
        } else {
            return "a line setting is not baud, bits, parity or stop";
        }
    }
    if (stop == "2" && bits == 5) {
        return "Windows refuses 2 stop bits with 5 data bits";
    }
    if (stop == "1.5" && bits != 5) {
        return "Windows takes 1.5 stop bits with 5 data bits only";
    }
    return "";
}

// Why text is not a device URI tagwright.exe can use, or "" when it is one.
function targetProblem(text) {
    if (text.length > kLongestValue) {
        return "it is longer than " + kLongestValue + " characters";
    }
    var scheme = "";
    for (var i = 0; i < kSchemes.length; ++i) {
        if (startsWithIgnoringCase(text, kSchemes[i])) {
            scheme = kSchemes[i];
        }
    }
    var rest = text.substring(scheme.length);
    if (scheme == "socket://") {
        return socketProblem(rest);
    }
    if (scheme == "serial:" || scheme == "parallel:") {
        var question = rest.indexOf("?");
        var name = question < 0 ? rest : rest.substring(0, question);
        if (scheme == "serial:" && !portName(name, "com", 256)) {
            return "it names no serial port (write COM1 to COM256)";
        }
        if (scheme == "parallel:" && !portName(name, "lpt", 9)) {
            return "it names no parallel port (write LPT1 to LPT9)";
        }
        if (question < 0) {
            return "";
        }
        if (scheme == "parallel:") {
            return "a parallel port takes no line settings";
        }
        return lineSettingsProblem(rest.substring(question + 1));
    }
    if (scheme == "driver:" || scheme == "raw:") {
        if (rest.length == 0) {
            return "it names no printer after the colon";
        }
        return decodePercents(rest) === null
                   ? "a % is not followed by two hexadecimal digits (write %25 for a % sign)"
                   : "";
    }
    return "it is not socket://HOST[:PORT], serial:PORT, parallel:PORT, driver:PRINTER or " +
           "raw:PRINTER";
}

// The properties as values: { problem: "" or why not, values: [[name, text]...],
// printers: [[name, uri]...] }. property(name) gives a property's text ("" when not set).
function machineSettings(property) {
    var result = {problem: "", values: [], printers: []};
    function refuse(name, why) {
        if (result.problem == "") {
            result.problem = name + "=\"" + property(name) + "\" cannot be used: " + why + ".";
        }
    }
    function number(name, valueName, lowest, highest) {
        var text = property(name);
        if (text == "") {
            return;
        }
        if (decimal(text, lowest, highest) === null) {
            refuse(name, "it must be a whole number from " + lowest + " to " + highest);
        } else {
            result.values.push([valueName, String(parseInt(text, 10))]);
        }
    }
    var printer = property("PRINTER");
    if (printer != "") {
        var why = targetProblem(printer);
        if (why != "") {
            refuse("PRINTER", why);
        }
        result.values.push(["Printer", printer]);
    }
    number("DELAY", "Delay", 0, 3600000);
    number("ATTEMPTS", "Attempts", 1, 10);
    number("TIMEOUT", "Timeout", 0, 86400);
    var check = property("CHECKSTATUS");
    if (check != "" && check != "0" && check != "1") {
        refuse("CHECKSTATUS", "it must be 1 (ask the printer its status) or 0");
    } else if (check != "") {
        result.values.push(["CheckStatus", check]);
    }
    var confirm = property("CONFIRM").toLowerCase();
    if (confirm != "" && confirm != "off" && confirm != "received" && confirm != "printed") {
        refuse("CONFIRM", "it must be off, received or printed");
    } else if (confirm != "") {
        result.values.push(["Confirm", confirm]);
    }
    var associate = property("ASSOCIATE");
    if (associate != "" && associate != "0" && associate != "1") {
        refuse("ASSOCIATE", "it must be 1 (labels print when opened) or 0");
    }
    // Name=URI;Name=URI: a name holds no "=" or ":", and neither holds ";".
    var entries = property("PRINTERS").split(";");
    var seen = {};
    for (var i = 0; i < entries.length; ++i) {
        if (entries[i] == "") {
            continue;
        }
        var equals = entries[i].indexOf("=");
        var name = equals < 0 ? "" : entries[i].substring(0, equals);
        var uri = equals < 0 ? "" : entries[i].substring(equals + 1);
        if (name == "") {
            refuse("PRINTERS", "\"" + entries[i] + "\" is not NAME=URI");
        } else if (name.indexOf(":") >= 0) {
            // --printer takes a text with a colon for an address, never for a name.
            refuse("PRINTERS", "the name \"" + name + "\" holds a colon, which no name can");
        } else if (name == "+" || name == "-" || name == "*") {
            // Alone, these are the installer's marks for creating and removing keys.
            refuse("PRINTERS", "the name \"" + name + "\" is not a printer's name");
        } else if (seen["=" + name.toLowerCase()]) {
            refuse("PRINTERS", "the name \"" + name + "\" is given twice");
        } else if (targetProblem(uri) != "") {
            refuse("PRINTERS", "the printer \"" + name + "\": " + targetProblem(uri));
        }
        seen["=" + name.toLowerCase()] = true;
        result.printers.push([name, uri]);
    }
    return result;
}

// The Registry table's Key, Name and Value are formatted texts: brackets and braces would be
// read as property references, so each is written as its escape.
function formattedLiteral(text) {
    return text.replace(/[\[\]{}]/g, function(c) { return "[\\" + c + "]"; });
}

function logLine(text) {
    var record = Installer.CreateRecord(0);
    record.StringData(0) = text;
    Session.Message(kLogOnly, record);
}

// The entry point: checks, then adds the rows the WriteRegistryValues action writes.
function WriteMachineSettings() {
    var settings = machineSettings(function(name) { return Session.Property(name); });
    if (settings.problem != "") {
        logLine("Tagwright: " + settings.problem + " Nothing was installed.");
        return kFailed;
    }
    var view = Session.Database.OpenView(
        "INSERT INTO `Registry` (`Registry`, `Root`, `Key`, `Name`, `Value`, `Component_`) " +
        "VALUES (?, ?, ?, ?, ?, ?) TEMPORARY");
    var count = 0;
    function add(key, name, value) {
        var row = Installer.CreateRecord(6);
        row.StringData(1) = "MachineSetting" + (++count);
        row.IntegerData(2) = kHklm;
        row.StringData(3) = key;
        row.StringData(4) = formattedLiteral(name);
        // No value starts with #, which would make it a number: every one is a URI, a
        // number's digits, a word, or the list with its leading ";".
        row.StringData(5) = formattedLiteral(value);
        row.StringData(6) = kComponent;
        view.Execute(row);
    }
    for (var i = 0; i < settings.values.length; ++i) {
        add(kMachineKey, settings.values[i][0], settings.values[i][1]);
    }
    for (var j = 0; j < settings.printers.length; ++j) {
        add(kMachineKey + "\\Printers", settings.printers[j][0], settings.printers[j][1]);
    }
    // The list as given, so that a later version's install can write it again. The leading
    // ";" (an empty entry) keeps a first name starting with # from being read back as "##".
    if (Session.Property("PRINTERS") != "") {
        add(kInstallerKey, "Printers", ";" + Session.Property("PRINTERS").replace(/^;+/, ""));
    }
    view.Close();
    logLine("Tagwright: " + count + " machine settings to write.");
    return kSucceeded;
}
