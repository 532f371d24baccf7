#!/bin/sh
# Regenerates the workbook and damaged-file fixtures of this folder from the text sources
# (hosts.csv, hosts_rich.fods, hosts_1904.fods). Needs LibreOffice, iconv, gzip and zip; the
# tests only read the committed results.
set -eu
cd "$(dirname "$0")"

profile=$(mktemp -d)
trap 'rm -rf "$profile"' EXIT
office() {
    HOME="$profile" soffice -env:UserInstallation="file://$profile/user" --headless "$@"
}

# CSV import: comma separated, '"' quoted, UTF-8 (76), from line 1, en-US, numbers and ISO dates
# detected, so ports and phone numbers become numeric cells and 2024-03-15 a date cell.
csv_filter='CSV:44,34,76,1,,1033,false,true,true'
office --infilter="$csv_filter" --convert-to xlsx --outdir . hosts.csv
office --infilter="$csv_filter" --convert-to xls --outdir . hosts.csv

# Rich-text runs, dates, a date and time, a Chinese date format, booleans, formulas with cached
# values, a two-line cell, a 0.00 number format, empty rows and cells, and a second sheet.
office --convert-to xlsx --outdir . hosts_rich.fods
office --convert-to xls --outdir . hosts_rich.fods

# The 1904 date system (workbookPr date1904).
office --convert-to xlsx --outdir . hosts_1904.fods
office --convert-to xls --outdir . hosts_1904.fods

# Text in the code page of a Chinese Windows.
iconv -f UTF-8 -t GB18030 hosts.csv > hosts_gb18030.csv

# Damaged and disguised inputs.
printf '10.0.0.1,3389,admin,pw1,first\n10.0.0.2,33\00089,admin,pw2,second\n10.0.0.3,3389,ad\000min,pw3,third\n10.0.0.4,22,root,pw4,fourth\n' > nul_byte.csv
gzip -9 -n -c hosts_rich.fods > binary.csv
printf 'not a spreadsheet\n' > readme.txt
rm -f not_workbook.xlsx
zip -q -X not_workbook.xlsx readme.txt
rm -f readme.txt
head -c 2000 hosts.xlsx > truncated.xlsx
printf '10.0.0.1,3389,admin\n' > text_named.xlsx
