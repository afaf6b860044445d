# Core parsers: stub records, reparse text, command line, collect-file lines.
trhsm_fuzz_target(stub_record_decode SOURCES stub_record_decode_fuzz.cc LIBS trhsm_internal)
trhsm_fuzz_target(stub_record_raw SOURCES stub_record_raw_fuzz.cc LIBS trhsm_internal)
trhsm_fuzz_target(stub_record_encode SOURCES stub_record_encode_fuzz.cc LIBS trhsm_internal)
trhsm_fuzz_target(reparse_text SOURCES reparse_text_fuzz.cc LIBS trhsm_internal)
trhsm_fuzz_target(cmdline SOURCES cmdline_fuzz.cc LIBS trhsm_internal)
trhsm_fuzz_target(collect_lines SOURCES collect_lines_fuzz.cc LIBS trhsm_internal)
