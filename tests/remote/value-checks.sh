# The comparisons of watch outputs (tab-separated: path, type, value, time, quality) that the
# remote tests make. Sourced after fail() is defined.
#   columns_of <fields> <lines>                      the distinct values of those cut fields
#   same_columns <fields> <actual> <expected> <what> fails with what and the difference
columns_of() { cut -f"$1" <<<"$2" | sort -u; }
same_columns() {
  [ "$(columns_of "$1" "$2")" = "$(columns_of "$1" "$3")" ] ||
    fail "$4: $(diff <(columns_of "$1" "$2") <(columns_of "$1" "$3") | head)"
}
