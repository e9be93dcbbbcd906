#!/usr/bin/env bash
# The release packages as users get them: scripts/package.sh builds them from the win64 and
# win32 programs, signed with a throwaway certificate made here; the signatures are checked
# with osslsigncode, the zips' contents listed, and the MSI installed, used, installed again,
# replaced by a later version and removed with msiexec /qn under Wine, in a fresh prefix; then
# installed with the machine settings and the association as properties, and removed again.
#
# Builds no program: packages build/win64 and build/win32 as they are. Exits 77 with "skip: <reason>" when a packaging tool or a
# program is missing; the Wine scenarios say SKIP without Wine or Xvfb. Prints one line per
# scenario and "N passed, N failed".
set -u

source "$(cd "$(dirname "$0")" && pwd)/lib.sh"

E2E_WIN64_DIR=$E2E_ROOT/build/win64
E2E_WIN32_DIR=$E2E_ROOT/build/win32
E2E_DRIVER="$E2E_WIN64_DIR/windriver.exe"

for tool in wixl msiextract osslsigncode openssl zip unzip python3; do
    command -v "$tool" >/dev/null 2>&1 || e2e_skip "$tool is not installed (scripts/setup.sh)"
done
for exe in "$E2E_WIN64_DIR/tagwright.exe" "$E2E_WIN32_DIR/tagwright.exe"; do
    [ -f "$exe" ] || e2e_skip "$exe not built (the win64 and win32 presets)"
done

E2E_WORK=$(mktemp -d /tmp/tagwright-packages.XXXXXX)
trap 'e2e_cleanup; [ -n "${TAGWRIGHT_E2E_KEEP:-}" ] || rm -rf "$E2E_WORK"' EXIT
trap 'exit 130' INT TERM

PASSED=0
FAILED=0
SKIPPED=0
CURRENT=""
PROBLEM=""

begin() {
    CURRENT=$1
    PROBLEM=""
}

expect() { # <what> <got> <expected>: the first mismatch of a scenario is its failure
    if [ "$2" != "$3" ] && [ -z "$PROBLEM" ]; then
        PROBLEM="$1: got '$2' expected '$3'"
    fi
}

finish() {
    if [ -z "$PROBLEM" ]; then
        PASSED=$((PASSED + 1))
        echo "PASS $CURRENT"
    else
        FAILED=$((FAILED + 1))
        echo "FAIL $CURRENT: $PROBLEM"
    fi
}

skip_scenario() {
    SKIPPED=$((SKIPPED + 1))
    echo "SKIP $1: $2"
}

# The version the packages must carry: the text the program shows, from the build's header.
VERSION_TEXT=$(sed -n 's/^#define TAGWRIGHT_VERSION_TEXT "\(.*\)"$/\1/p' \
    "$E2E_WIN64_DIR/generated/version.h" 2>/dev/null)
[ -n "$VERSION_TEXT" ] || e2e_skip "$E2E_WIN64_DIR/generated/version.h not generated"
IFS=. read -r V_MAJOR V_MINOR V_RELEASE V_BUILD <"$E2E_ROOT/VERSION"
MSI_VERSION="$V_MAJOR.$V_MINOR.$((V_RELEASE * 1000 + V_BUILD))"
NEXT_VERSION="$V_MAJOR.$V_MINOR.$V_RELEASE.$((V_BUILD + 1))"
NEXT_MSI_VERSION="$V_MAJOR.$V_MINOR.$((V_RELEASE * 1000 + V_BUILD + 1))"

DIST="$E2E_WORK/dist"
NEXT_DIST="$E2E_WORK/dist-next"
MSI="$DIST/tagwright-$VERSION_TEXT-x64.msi"
NEXT_MSI="$NEXT_DIST/tagwright-$(printf '%d.%d.%d%04d' "$V_MAJOR" "$V_MINOR" "$V_RELEASE" "$((V_BUILD + 1))")-x64.msi"

# What every package holds, below its folder Tagwright.
PACKAGE_FILES="PolicyDefinitions/en-US/tagwright.adml
PolicyDefinitions/tagwright.admx
guide/about.png
guide/help.png
guide/progress.png
guide/settings.png
guide/user-guide.md
licence-notes.txt
samples/label.epl
samples/label.zpl
tagwright.exe"

# ---------------------------------------------------------------- building and signing

# A throwaway code-signing certificate, made for this run only.
make_certificate() {
    local folder=$E2E_WORK/certificate
    mkdir -p "$folder"
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Tagwright test signing" \
        -addext "extendedKeyUsage=codeSigning" -keyout "$folder/key.pem" \
        -out "$folder/cert.pem" >/dev/null 2>&1 &&
        openssl pkcs12 -export -inkey "$folder/key.pem" -in "$folder/cert.pem" \
            -passout pass:throwaway-password -out "$folder/cert.p12" >/dev/null 2>&1
}

verified() { # <file>: "ok" when its signature holds against the throwaway certificate
    if osslsigncode verify -CAfile "$E2E_WORK/certificate/cert.pem" -in "$1" \
        >"$E2E_WORK/verify.log" 2>&1; then
        echo ok
    else
        echo "not verified ($(grep -m1 -i -E 'fail|error|no signature' "$E2E_WORK/verify.log"))"
    fi
}

scenario_packages_signed() {
    begin packages_signed
    if ! make_certificate; then
        PROBLEM="openssl could not make a certificate"
        finish
        return
    fi
    local package=(env TAGWRIGHT_SIGN_CERT="$E2E_WORK/certificate/cert.p12"
        TAGWRIGHT_SIGN_PASSWORD=throwaway-password "$E2E_ROOT/scripts/package.sh"
        --no-build)
    "${package[@]}" --dist "$DIST" >"$E2E_WORK/package.log" 2>&1
    expect "package.sh exit code" "$?" 0
    "${package[@]}" --msi-only --as-version "$NEXT_VERSION" --dist "$NEXT_DIST" \
        >"$E2E_WORK/package-next.log" 2>&1
    expect "package.sh --as-version exit code" "$?" 0
    expect "packages" "$(cd "$DIST" && ls | tr '\n' ' ')" \
        "SHA256SUMS tagwright-$VERSION_TEXT-x64.msi tagwright-$VERSION_TEXT-x64.zip tagwright-$VERSION_TEXT-x86.zip "
    expect "checksums" "$(cd "$DIST" && sha256sum --quiet -c SHA256SUMS 2>&1)" ""
    expect "MSI product version" \
        "$(msiinfo export "$MSI" Property 2>/dev/null | tr -d '\r' | sed -n 's/^ProductVersion\t//p')" \
        "$MSI_VERSION"
    expect "MSI signature" "$(verified "$MSI")" ok
    # The programs are signed before they are packaged: the copies inside are signed.
    local arch
    for arch in x64 x86; do
        mkdir -p "$E2E_WORK/unzipped-$arch"
        unzip -q -o "$DIST/tagwright-$VERSION_TEXT-$arch.zip" -d "$E2E_WORK/unzipped-$arch"
        expect "$arch program signature" "$(verified "$E2E_WORK/unzipped-$arch/Tagwright/tagwright.exe")" ok
    done
    mkdir -p "$E2E_WORK/msi-files"
    (cd "$E2E_WORK/msi-files" && msiextract "$MSI" >/dev/null 2>&1)
    local in_msi
    in_msi=$(find "$E2E_WORK/msi-files" -name tagwright.exe | head -n 1)
    expect "program in the MSI" "$(cmp -s "$in_msi" "$E2E_WORK/unzipped-x64/Tagwright/tagwright.exe" && echo same)" same
    # The check can fail: one byte changed in the signed program breaks its signature.
    cp "$E2E_WORK/unzipped-x64/Tagwright/tagwright.exe" "$E2E_WORK/tampered.exe"
    printf 'X' | dd of="$E2E_WORK/tampered.exe" bs=1 seek=4096 conv=notrunc 2>/dev/null
    expect "tampered program" "$(verified "$E2E_WORK/tampered.exe" | cut -c1-14)" "not verified ("
    # The program itself stays unsigned in the build folder.
    expect "build output" "$(osslsigncode verify -in "$E2E_WIN64_DIR/tagwright.exe" >/dev/null 2>&1 && echo signed || echo unsigned)" unsigned
    finish
}

scenario_zips_contents() {
    begin zips_contents
    local arch listing
    for arch in x64 x86; do
        listing=$(unzip -Z1 "$DIST/tagwright-$VERSION_TEXT-$arch.zip" 2>/dev/null | sort)
        expect "$arch zip" "$listing" "$(sed 's|^|Tagwright/|' <<<"$PACKAGE_FILES")"
    done
    expect "x86 program" "$(python3 "$E2E_ROOT/scripts/pe_version.py" "$E2E_WORK/unzipped-x86/Tagwright/tagwright.exe")" \
        "$(head -n 1 "$E2E_ROOT/VERSION")"
    expect "x86 machine" "$(od -An -tx2 -j "$(($(od -An -tu4 -j 60 -N4 "$E2E_WORK/unzipped-x86/Tagwright/tagwright.exe") + 4))" -N2 "$E2E_WORK/unzipped-x86/Tagwright/tagwright.exe" | tr -d ' ')" 014c
    finish
}

# ---------------------------------------------------------------- the MSI under Wine

INSTALL_DIR=""
MENU_DIRS=()
UNINSTALL_KEY='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'

msiexec() { # <msiexec arguments...>: its exit code, bounded in time
    timeout 180 "$WINE" msiexec "$@" >/dev/null 2>&1
    echo $?
}

installed_files() { # the files below Program Files\Tagwright, one per line, sorted
    [ -d "$INSTALL_DIR" ] && (cd "$INSTALL_DIR" && find . -type f | sed 's|^\./||' | sort)
}

installed_state() { # every installed file with its time and checksum, and the shortcuts
    [ -d "$INSTALL_DIR" ] && (cd "$INSTALL_DIR" && find . -type f -printf '%p %T@ ' -exec sha256sum {} \; | sort)
    # Wine writes the shortcuts again on every install, so their content is what counts.
    shortcut_files | xargs -r -d '\n' sha256sum
}

shortcut_files() { # the shortcuts in the Tagwright folder of the Start menu
    local folder
    for folder in "${MENU_DIRS[@]}"; do
        [ -d "$folder/Tagwright" ] && find "$folder/Tagwright" -name '*.lnk'
    done | sort
}

products() { # "<DisplayName> <DisplayVersion>" of each installed product named Tagwright
    timeout 60 "$WINE" reg query "$UNINSTALL_KEY" /s 2>/dev/null | tr -d '\r' |
        awk '/DisplayName +REG_SZ/ { name = $3 } /DisplayVersion +REG_SZ/ { version = $3 }
             /^HKEY/ { if (name == "Tagwright") print name, version; name = ""; version = "" }
             END { if (name == "Tagwright") print name, version }'
}

scenario_msi_install() {
    begin msi_install
    # Wine's first msiexec in a new prefix has been seen to end with 1 and leave nothing
    # installed (once in four runs); its log is shown and it is tried once more, so that a
    # package that really fails still fails here.
    local log="$E2E_WORK/install.log" code
    code=$(msiexec /i "$(e2e_winpath "$MSI")" /qn /l*v "$(e2e_winpath "$log")")
    if [ "$code" != 0 ]; then
        echo "msi_install: msiexec /i ended with $code; its log ends:"
        tr -d '\r\0' <"$log" 2>/dev/null | tail -n 15
        sleep 2
        code=$(msiexec /i "$(e2e_winpath "$MSI")" /qn)
    fi
    expect "msiexec /i /qn" "$code" 0
    expect "installed files" "$(installed_files)" "$PACKAGE_FILES"
    expect "program" "$(cmp -s "$INSTALL_DIR/tagwright.exe" "$E2E_WORK/unzipped-x64/Tagwright/tagwright.exe" && echo same)" same
    expect "products" "$(products)" "Tagwright $MSI_VERSION"
    finish
}

scenario_msi_shortcuts() {
    begin msi_shortcuts
    local settings about
    settings=$(shortcut_files | grep '/Tagwright Settings\.lnk$')
    about=$(shortcut_files | grep '/About Tagwright\.lnk$')
    expect "shortcuts" "$(shortcut_files | wc -l)" 2
    local fields
    fields=$(python3 "$E2E_DIR/shortcut_fields.py" "$settings" 2>&1 | grep -v '^description')
    expect "Tagwright Settings" "$fields" "target: C:\\Program Files\\Tagwright\\tagwright.exe
arguments: -s -n
workdir: C:\\ProgramData\\Tagwright\\"
    fields=$(python3 "$E2E_DIR/shortcut_fields.py" "$about" 2>&1 | grep -v '^description')
    expect "About Tagwright" "$fields" "target: C:\\Program Files\\Tagwright\\tagwright.exe
arguments: -? -n
workdir: C:\\ProgramData\\Tagwright\\"
    expect "working folder" "$([ -d "$WINEPREFIX/drive_c/ProgramData/Tagwright" ] && echo present)" present
    finish
}

scenario_msi_program_sends() {
    begin msi_program_sends
    local folder=$E2E_WORK/job printer=$E2E_WORK/printer
    mkdir -p "$folder"
    if ! e2e_start_tcp_printer 9100 "$printer"; then
        PROBLEM="virtual printer did not start"
        finish
        return
    fi
    e2e_write_settings PrinterType "TCP/IP" Port "9100" BaudorIPAddress "$E2E_PRINTER_ADDRESS" \
        Delay "0" Attempts "3"
    cp "$E2E_ROOT/samples/label.zpl" "$folder/label.zpl"
    E2E_EXE="$INSTALL_DIR/tagwright.exe" e2e_start_program "$folder" "$(e2e_winpath "$folder/label.zpl")"
    expect "exit code" "$(e2e_wait_exit "$folder" 60)" 1
    e2e_stop_printer "$printer"
    expect "delivered" "$(cmp -s "$printer/conn-1.bin" "$E2E_ROOT/samples/label.zpl" && echo same)" same
    expect "input file" "$(exists "$folder/label.zpl")" absent
    finish
}

exists() { [ -e "$1" ] && echo present || echo absent; }

scenario_msi_same_again() {
    begin msi_same_again
    local before
    before=$(installed_state)
    sleep 1 # a file written again now would show a later time
    expect "msiexec /i /qn again" "$(msiexec /i "$(e2e_winpath "$MSI")" /qn)" 0
    expect "installed files and shortcuts" "$(installed_state)" "$before"
    expect "products" "$(products)" "Tagwright $MSI_VERSION"
    finish
}

scenario_msi_upgrade() {
    begin msi_upgrade
    expect "msiexec /i later /qn" "$(msiexec /i "$(e2e_winpath "$NEXT_MSI")" /qn)" 0
    expect "products" "$(products)" "Tagwright $NEXT_MSI_VERSION"
    expect "installed files" "$(installed_files)" "$PACKAGE_FILES"
    expect "shortcuts" "$(shortcut_files | wc -l)" 2
    # The earlier version cannot go back over the later one.
    # 1603 (the installation failed, on the package's own launch condition); the exit code
    # of a program under Wine keeps only its low 8 bits, 67.
    expect "msiexec /i earlier /qn" "$(msiexec /i "$(e2e_winpath "$MSI")" /qn /l*v "$(e2e_winpath "$E2E_WORK/downgrade.log")")" 67
    expect "later version found" "$(tr -d '\0\r' <"$E2E_WORK/downgrade.log" 2>/dev/null | grep -c '^Property(S): WIX_DOWNGRADE_DETECTED = {')" 1
    expect "products after the downgrade" "$(products)" "Tagwright $NEXT_MSI_VERSION"
    finish
}

scenario_msi_uninstall() {
    begin msi_uninstall
    expect "msiexec /x /qn" "$(msiexec /x "$(e2e_winpath "$NEXT_MSI")" /qn)" 0
    expect "program folder" "$(exists "$INSTALL_DIR")" absent
    expect "shortcuts" "$(shortcut_files | wc -l)" 0
    local folder
    for folder in "${MENU_DIRS[@]}"; do
        expect "menu folder" "$(exists "$folder/Tagwright")" absent
    done
    expect "working folder" "$(exists "$WINEPREFIX/drive_c/ProgramData/Tagwright")" absent
    expect "products" "$(products)" ""
    finish
}

# ---------------------------------------------------------------- the machine settings

MACHINE_KEY='HKLM\Software\Velmora Software\Tagwright\1.0'
POLICY_KEY='HKLM\Software\Policies\Velmora Software\Tagwright\1.0'

reg_values() { # <key>: "name=value" of each text value of the key and its subkeys, sorted
    timeout 60 "$WINE" reg query "$1" /s 2>/dev/null | tr -d '\r' |
        sed -n 's/^    \(.*\)    REG_SZ    \(.*\)$/\1=\2/p' | LC_ALL=C sort
}

reg_key() { # <key>: "present" or "absent"
    timeout 60 "$WINE" reg query "$1" >/dev/null 2>&1 && echo present || echo absent
}

# The program reads the machine key when a job's result names the place of its settings: a
# program without that knows no "settings" key. Probed once with a job to a closed port.
MACHINE_PROBED=""
MACHINE_UNSUPPORTED=""
machine_settings_supported() {
    if [ -z "$MACHINE_PROBED" ]; then
        MACHINE_PROBED=yes
        local folder=$E2E_WORK/machine-probe
        mkdir -p "$folder"
        printf '^XA^XZ\r\n' >"$folder/probe.zpl"
        E2E_EXE="$INSTALL_DIR/tagwright.exe" e2e_start_program "$folder" -q --printer socket://127.0.0.1:9 \
            --attempts 1 --timeout 5 --result "$(e2e_winpath "$folder/result.json")" \
            "$(e2e_winpath "$folder/probe.zpl")"
        e2e_wait_exit "$folder" 60 >/dev/null
        if ! python3 -c 'import json, sys; sys.exit("settings" not in json.load(open(sys.argv[1])))' \
            "$folder/result.json" 2>/dev/null; then
            MACHINE_UNSUPPORTED="tagwright.exe does not say where its settings came from (no \"settings\" in its result): it reads no machine settings"
        fi
    fi
    [ -z "$MACHINE_UNSUPPORTED" ]
}

label_received() { # <printer folder> <label>: "same" when the first connection began with it
    # (a job that asks for confirmation sends its status queries after the label)
    head -c "$(stat -c %s "$2")" "$1/conn-1.bin" 2>/dev/null | cmp -s - "$2" && echo same
}

# A bad property ends the install with a line in its log and nothing installed, whichever it is.
scenario_msi_bad_settings() {
    begin msi_bad_settings
    local property value log n=0
    while IFS='|' read -r property value; do
        n=$((n + 1))
        log="$E2E_WORK/bad-$n.log"
        expect "msiexec /i $property=$value" \
            "$(msiexec /i "$(e2e_winpath "$MSI")" "$property=$value" /qn /l*v "$(e2e_winpath "$log")")" 67
        expect "log of $property=$value" \
            "$(tr -d '\0\r' <"$log" 2>/dev/null | grep -c "^Tagwright: $property=\"$value\" cannot be used: .* Nothing was installed\.$")" 1
        expect "installed files after $property=$value" "$(installed_files)" ""
        expect "products after $property=$value" "$(products)" ""
        expect "machine key after $property=$value" "$(reg_key "$MACHINE_KEY")" absent
    done <<'ROWS'
PRINTER|socket://10.1.2.3:0
PRINTERS|Shipping=socket://10.1.2.3;Small labels=serial:COM0
ATTEMPTS|0
ROWS
    finish
}

# The silent install with a printer for the whole machine: a user who never opened the settings
# window sends a label, and the printer confirms it received it.
scenario_msi_machine_printer() {
    begin msi_machine_printer
    local folder=$E2E_WORK/machine-job printer=$E2E_WORK/machine-printer
    mkdir -p "$folder"
    drv reg-delete "$SETTINGS_KEY" >/dev/null
    expect "msiexec /i PRINTER= CONFIRM= PRINTERS= /qn" "$(msiexec /i "$(e2e_winpath "$MSI")" \
        "PRINTER=socket://$E2E_PRINTER_ADDRESS" CONFIRM=received \
        "PRINTERS=Shipping=socket://$E2E_PRINTER_ADDRESS:9101;Small labels=serial:COM3?baud=9600" /qn)" 0
    expect "machine key" "$(reg_values "$MACHINE_KEY")" "Confirm=received
Printer=socket://$E2E_PRINTER_ADDRESS
Shipping=socket://$E2E_PRINTER_ADDRESS:9101
Small labels=serial:COM3?baud=9600"
    expect "user key" "$(reg_key "HKCU\\$SETTINGS_KEY")" absent
    # Without ASSOCIATE only the context menu's verb: opening a label file is left alone.
    expect "print verb" "$(reg_values 'HKCR\SystemFileAssociations\.epl\shell\Tagwright.Print')" \
        "(Default)=\"C:\\Program Files\\Tagwright\\tagwright.exe\" \"%1\"
(Default)=Print with Tagwright"
    expect ".zpl" "$(reg_key 'HKCR\.zpl')" absent
    if ! machine_settings_supported; then
        NOTE="$MACHINE_UNSUPPORTED"
    elif ! e2e_start_tcp_printer 9100 "$printer" --firmware current; then
        PROBLEM="virtual printer did not start"
    else
        cp "$E2E_ROOT/samples/label.zpl" "$folder/label.zpl"
        E2E_EXE="$INSTALL_DIR/tagwright.exe" e2e_start_program "$folder" -q \
            --result "$(e2e_winpath "$folder/result.json")" "$(e2e_winpath "$folder/label.zpl")"
        expect "exit code" "$(e2e_wait_exit "$folder" 90)" 1
        e2e_stop_printer "$printer"
        expect "delivered" "$(label_received "$printer" "$E2E_ROOT/samples/label.zpl")" same
        expect "settings" "$(python3 -c 'import json, sys; r = json.load(open(sys.argv[1])); print(r["settings"], r["confirmed"])' "$folder/result.json" 2>&1)" "machine received"
        expect "input file" "$(exists "$folder/label.zpl")" absent
    fi
    finish_or_note
}

# --printer NAME from the machine's named printers.
scenario_msi_named_printer() {
    begin msi_named_printer
    local folder=$E2E_WORK/named-job printer=$E2E_WORK/named-printer
    mkdir -p "$folder"
    if ! machine_settings_supported; then
        skip_scenario msi_named_printer "$MACHINE_UNSUPPORTED"
        return
    fi
    if ! e2e_start_tcp_printer 9101 "$printer"; then
        PROBLEM="virtual printer did not start"
    else
        cp "$E2E_ROOT/samples/label.epl" "$folder/label.epl"
        E2E_EXE="$INSTALL_DIR/tagwright.exe" e2e_start_program "$folder" -q --printer Shipping \
            --confirm off "$(e2e_winpath "$folder/label.epl")"
        expect "exit code" "$(e2e_wait_exit "$folder" 90)" 1
        e2e_stop_printer "$printer"
        expect "delivered" "$(cmp -s "$printer/conn-1.bin" "$E2E_ROOT/samples/label.epl" && echo same)" same
        expect "input file" "$(exists "$folder/label.epl")" absent
    fi
    finish
}

# A later version with ASSOCIATE=1 keeps the machine settings it was not given, and a label
# opened with the shell's open verb (as Explorer or a browser opens it) prints and is deleted.
scenario_msi_associate() {
    begin msi_associate
    local folder=$E2E_WORK/opened printer=$E2E_WORK/opened-printer
    mkdir -p "$folder"
    expect "msiexec /i later ASSOCIATE=1 TIMEOUT=20 /qn" \
        "$(msiexec /i "$(e2e_winpath "$NEXT_MSI")" ASSOCIATE=1 TIMEOUT=20 /qn)" 0
    expect "products" "$(products)" "Tagwright $NEXT_MSI_VERSION"
    expect "machine key kept" "$(reg_values "$MACHINE_KEY")" "Confirm=received
Printer=socket://$E2E_PRINTER_ADDRESS
Shipping=socket://$E2E_PRINTER_ADDRESS:9101
Small labels=serial:COM3?baud=9600
Timeout=20"
    expect ".zpl" "$(reg_values 'HKCR\.zpl')" "(Default)=Tagwright.Label
Content Type=application/x-zpl"
    expect ".epl" "$(reg_values 'HKCR\.epl')" "(Default)=Tagwright.Label
Content Type=application/x-epl"
    expect "open verb" "$(reg_values 'HKCR\Tagwright.Label\shell\open\command')" \
        "(Default)=\"C:\\Program Files\\Tagwright\\tagwright.exe\" \"%1\""
    expect "content type" "$(reg_values 'HKCR\MIME\Database\Content Type\application/x-zpl')" "Extension=.zpl"
    # The user's own settings name the printer (a program that reads no machine settings can
    # print the opened label too); the machine's Confirm=received asks for the model printer.
    e2e_write_settings PrinterType "TCP/IP" Port "9100" BaudorIPAddress "$E2E_PRINTER_ADDRESS" \
        Delay "0" Attempts "3"
    if ! e2e_start_tcp_printer 9100 "$printer" --firmware current; then
        PROBLEM="virtual printer did not start"
    else
        cp "$E2E_ROOT/samples/label.zpl" "$folder/label.zpl"
        (cd "$folder" && timeout 120 "$WINE" start /wait /unix "$folder/label.zpl" >/dev/null 2>&1)
        e2e_stop_printer "$printer"
        expect "delivered" "$(label_received "$printer" "$E2E_ROOT/samples/label.zpl")" same
        expect "opened file" "$(exists "$folder/label.zpl")" absent
    fi
    finish
}

# Uninstalling removes the machine key and the association; the user's key and the policy
# key stay.
scenario_msi_uninstall_settings() {
    begin msi_uninstall_settings
    e2e_write_settings Delay 0
    timeout 60 "$WINE" reg add "$POLICY_KEY" /v Attempts /d 2 /f >/dev/null 2>&1
    expect "msiexec /x /qn" "$(msiexec /x "$(e2e_winpath "$NEXT_MSI")" /qn)" 0
    expect "products" "$(products)" ""
    expect "machine key" "$(reg_key "$MACHINE_KEY")" absent
    expect "installer key" "$(reg_key 'HKLM\Software\Velmora Software\Tagwright\Installer')" absent
    local key
    for key in 'HKCR\.zpl' 'HKCR\.epl' 'HKCR\Tagwright.Label' \
        'HKCR\SystemFileAssociations\.zpl\shell\Tagwright.Print' \
        'HKCR\SystemFileAssociations\.epl\shell\Tagwright.Print' \
        'HKCR\MIME\Database\Content Type\application/x-zpl'; do
        expect "$key" "$(reg_key "$key")" absent
    done
    expect "user key" "$(reg_values "HKCU\\$SETTINGS_KEY")" "Delay=0"
    expect "policy key" "$(reg_values "$POLICY_KEY")" "Attempts=2"
    finish
}

# A scenario whose job could not run: its installer's part has its verdict, the job a SKIP.
finish_or_note() {
    local name=$CURRENT
    finish
    [ -n "${NOTE:-}" ] && skip_scenario "${name}_job" "$NOTE"
    NOTE=""
}

scenario_packages_signed
scenario_zips_contents

WINE_SCENARIOS=(msi_install msi_shortcuts msi_program_sends msi_same_again msi_upgrade msi_uninstall
    msi_bad_settings msi_machine_printer msi_named_printer msi_associate msi_uninstall_settings)
wine_reason=""
if ! e2e_find_wine; then
    wine_reason="Wine (wine64) is not installed or cannot run here"
elif ! command -v Xvfb >/dev/null 2>&1; then
    wine_reason="Xvfb is not installed"
elif [ ! -f "$MSI" ] || [ ! -f "$NEXT_MSI" ]; then
    wine_reason="the MSI packages were not built"
elif ! e2e_start_xvfb; then
    wine_reason="Xvfb did not start"
elif ! e2e_init_prefix; then
    wine_reason="wineboot failed"
fi
if [ -n "$wine_reason" ]; then
    for name in "${WINE_SCENARIOS[@]}"; do
        skip_scenario "$name" "$wine_reason"
    done
else
    e2e_unmanaged_windows
    INSTALL_DIR="$WINEPREFIX/drive_c/Program Files/Tagwright"
    # Windows puts a per-machine package's shortcuts into the all-users Start menu; Wine
    # (8.0) into the installing user's. Either is where a user finds them.
    MENU_DIRS=("$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs"
        "$WINEPREFIX/drive_c/users/${USER:-$(id -un)}/AppData/Roaming/Microsoft/Windows/Start Menu/Programs")
    scenario_msi_install
    scenario_msi_shortcuts
    if [ ! -f "$E2E_DRIVER" ]; then
        skip_scenario msi_program_sends "$E2E_DRIVER not built"
    elif e2e_netns_up; then
        scenario_msi_program_sends
    else
        skip_scenario msi_program_sends "no network namespace (needs the ip tool and CAP_NET_ADMIN)"
    fi
    scenario_msi_same_again
    scenario_msi_upgrade
    scenario_msi_uninstall
    scenario_msi_bad_settings
    if [ ! -f "$E2E_DRIVER" ] || [ -z "$E2E_NETNS" ]; then
        for name in msi_machine_printer msi_named_printer msi_associate msi_uninstall_settings; do
            skip_scenario "$name" "needs $E2E_DRIVER and a network namespace"
        done
    else
        scenario_msi_machine_printer
        scenario_msi_named_printer
        scenario_msi_associate
        scenario_msi_uninstall_settings
    fi
fi

[ "$SKIPPED" -gt 0 ] && echo "$SKIPPED skipped"
echo "$PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]
