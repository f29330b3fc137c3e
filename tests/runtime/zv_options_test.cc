#include "runtime/zv_options.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/zv_globals.h"
#include "runtime/zv_log.h"
#include "tests/runtime/runtime_test_util.h"
#include "tests/support/zv_test_support.h"

namespace {

using rtt::capture;
using rtt::strip_prefix;

class Options : public testing::Test {
 protected:
  void SetUp() override {
    rtt::reset_globals();
    dir_ = zvtest::scratch_dir("options");
  }
  void TearDown() override { rtt::reset_globals(); }

  // parse_args over a command line given as words (argv[0] first).
  static void parse(std::vector<std::string> words) {
    std::vector<char *> argv;
    for (auto &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    parse_args(static_cast<int>(words.size()), argv.data());
  }

  std::string write_conf(const std::string &text, const std::string &name = "zolvar.conf") {
    std::string path = dir_ + "/" + name;
    zvtest::write_file(path, text);
    return path;
  }

  struct Loaded {
    int dflt = 0;
    int walk = 0;
    rtt::Captured io;
  };
  // The three passes of start-up: command line, [default], the walk.
  Loaded load(const std::string &text, std::vector<std::string> words) {
    std::string path = write_conf(text);
    words.push_back("-c");
    words.push_back(path);
    Loaded l;
    l.io = capture([&] {
      parse(words);
      l.dflt = read_config_default_section(configFileName);
      if (l.dflt == 0) l.walk = read_ng_config(path.c_str(), program);
    });
    return l;
  }

  std::string dir_;
};

std::string usage_text() {
  char *buf = nullptr;
  size_t len = 0;
  FILE *f = open_memstream(&buf, &len);
  zv_usage(f);
  fclose(f);
  std::string s(buf, len);
  free(buf);
  return s;
}

// ---- the table ---------------------------------------------------------------------

TEST_F(Options, TableHasItsRowsInOrderAndTheEndRow) {
  std::string letters;
  for (int i = 0; i < ZV_NUM_SWITCHES; ++i) letters.push_back(zv_switches[i].c);
  EXPECT_EQ(letters, "ABCDFILNOQRSUVXYZacdeghilnpqrtuvz");
  const zv_command_switch &end = zv_switches[ZV_NUM_SWITCHES];
  EXPECT_EQ(end.c, 0);
  EXPECT_EQ(end.type, ignore);
  EXPECT_STREQ(end.long_name, "_END_");
  EXPECT_STREQ(end.description, "End Of List of configuration values");
  for (int i = 0; i < ZV_NUM_SWITCHES; ++i) {
    const zv_command_switch &r = zv_switches[i];
    EXPECT_EQ(r.required, 0) << r.long_name;
    EXPECT_EQ(r.val_required, r.type == flag ? 0 : 1) << r.long_name;
    EXPECT_EQ(r.argdesc == nullptr, r.type == flag) << r.long_name;
  }
}

TEST_F(Options, DefaultsReachTheirVariables) {
  struct Case {
    const char *name;
    const char *text;  // string options
    int number;        // the others
  };
  const Case cases[] = {
      {"sloppyallow", nullptr, 0},          {"cachesize", nullptr, 128},
      {"outdir", "out_dir", 0},             {"file", "test_file", 0},
      {"loopbackdelay", nullptr, 0},        {"server_socket", "127.0.0.1:8001", 0},
      {"hpri_server_socket", "127.0.0.1:8002", 0},
      {"receiptmode", "internal", 0},       {"outsocket", "127.0.0.1", 0},
      {"receipt_socket", "127.0.0.1:8000", 0},
      {"failover_path", "/opt/zolvar3/data", 0},
      {"indir", "in_dir", 0},               {"config", "zolvar.conf", 0},
      {"debug", nullptr, 0},                {"entropy", "/tmp/entropy", 0},
      {"insocket", "6500", 0},              {"hipriport", nullptr, 6998},
      {"interface", "dir", 0},              {"clusternum", nullptr, 0},
      {"dirpolldelay", nullptr, 5},         {"stdport", nullptr, 6999},
      {"TPconfig", "tpartner.conf", 0},     {"CAfile", "ca_cert.pem", 0},
      {"verbose", nullptr, 0},
  };
  zv_cache_size = -7;
  snprintf(zv_dirpath, sizeof zv_dirpath, "%s", "changed");
  load_config_defaults();
  for (const Case &k : cases) {
    const zv_command_switch *r = find_cs_entry(k.name);
    ASSERT_NE(r, nullptr) << k.name;
    EXPECT_EQ(r->csrc, CFG_DEFAULT);
    if (k.text)
      EXPECT_STREQ(r->valuep, k.text) << k.name;
    else
      EXPECT_EQ(*reinterpret_cast<const int *>(r->valuep), k.number) << k.name;
  }
  EXPECT_EQ(sizeof zv_rec_mode, 16u);
  EXPECT_EQ(find_cs_entry("receiptmode")->vsize, 16);
  EXPECT_EQ(find_cs_entry("interface")->vsize, 32);
  EXPECT_EQ(find_cs_entry("receipt_socket")->vsize, 64);
  EXPECT_EQ(find_cs_entry("config")->vsize, 4097);
  EXPECT_EQ(find_cs_entry("debug")->vsize, 4);
}

TEST_F(Options, GetoptTablesFollowTheRows) {
  EXPECT_STREQ(zv_short_options(), "-ABC:D:F:IL:N:OQ:R:S:U:VX:YZa:c:d:e:g:h:i:l:n:p:qrt:uvz:");
  const struct option *lo = zv_long_options();
  int n = 0;
  while (lo[n].name) ++n;
  ASSERT_EQ(n, ZV_NUM_SWITCHES + 5);
  EXPECT_STREQ(lo[19].name, "debug");
  EXPECT_EQ(lo[19].has_arg, required_argument);
  EXPECT_EQ(lo[0].has_arg, no_argument);
  struct Alias {
    const char *name;
    int has_arg;
    int val;
  };
  const Alias aliases[] = {{"port", required_argument, 'p'},
                           {"help", no_argument, 'u'},
                           {"config-file", required_argument, 'c'},
                           {"tpartner", required_argument, 't'},
                           {"debuglevel", optional_argument, 'd'}};
  for (int i = 0; i < 5; ++i) {
    EXPECT_STREQ(lo[ZV_NUM_SWITCHES + i].name, aliases[i].name);
    EXPECT_EQ(lo[ZV_NUM_SWITCHES + i].has_arg, aliases[i].has_arg);
    EXPECT_EQ(lo[ZV_NUM_SWITCHES + i].val, aliases[i].val);
  }
}

TEST_F(Options, FindCsEntryByLetterOrLongName) {
  EXPECT_EQ(find_cs_entry("d"), find_cs_entry("debug"));
  EXPECT_EQ(find_cs_entry("t")->valuep, tpartnerFileName);
  EXPECT_EQ(find_cs_entry("debu"), nullptr);
  EXPECT_EQ(find_cs_entry("TPCONFIG"), nullptr);
  EXPECT_EQ(find_cs_entry(""), nullptr);
}

// ---- usage page --------------------------------------------------------------------

TEST_F(Options, UsagePageFollowsTheColumnRule) {
  std::string page = usage_text();
  auto lines = zvtest::split_lines(page);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], "Usage: clientd [options] [target] ...");
  EXPECT_EQ(lines[1], "Options:");

  auto has_line = [&](const std::string &l) {
    for (const auto &x : lines)
      if (x == l) return true;
    return false;
  };
  EXPECT_TRUE(has_line("  -r, --raw    Flag to force RAW text (not ASN1 message) transfer."));
  EXPECT_TRUE(has_line("  -q, --vhack  Self-signed issuer certificate verify hack flag."));
  EXPECT_NE(page.find("  -d DEPTH, --debug=DEPTH, --debuglevel=DEPTH\n" + std::string(15, ' ') +
                      "Debug display depth (for testing purposes only).\n"),
            std::string::npos);
  EXPECT_NE(page.find("  -u, --usage, --help\n" + std::string(15, ' ') +
                      "Displays this usage page.\n"),
            std::string::npos);
  EXPECT_NE(page.find("  -p PORT, --stdport=PORT, --port=PORT\n"), std::string::npos);
  EXPECT_NE(page.find("  -c FILENAME, --config=FILENAME, --config-file=FILENAME\n"),
            std::string::npos);
  EXPECT_NE(page.find("  -t FILENAME, --TPconfig=FILENAME, --tpartner=FILENAME\n"),
            std::string::npos);
  // Embedded line breaks and tabs are kept.
  EXPECT_NE(page.find(std::string(15, ' ') +
                      "Client directory poll delay in seconds\n\t\t(for Directory interface "
                      "only).\n"),
            std::string::npos);

  // Every row: an option line longer than 13 columns stands alone, then the description
  // after 15 blanks; a shorter one shares the line, padded to 15.
  for (int i = 0; i < ZV_NUM_SWITCHES; ++i) {
    const zv_command_switch &r = zv_switches[i];
    std::string desc = std::string(r.description) + ".\n";
    size_t at = page.find(desc);
    ASSERT_NE(at, std::string::npos) << r.long_name;
    size_t bol = page.rfind('\n', at - 1) + 1;
    std::string before = page.substr(bol, at - bol);
    ASSERT_EQ(before.size(), 15u) << r.long_name;
    if (before == std::string(15, ' ')) {
      size_t prev = page.rfind('\n', bol - 2) + 1;
      std::string opt = page.substr(prev, bol - 1 - prev);
      EXPECT_GT(opt.size(), 13u) << opt;
      EXPECT_EQ(opt.rfind(std::string("  -") + r.c, 0), 0u) << opt;
    } else {
      std::string col = before.substr(0, before.find_last_not_of(' ') + 1);
      EXPECT_LE(col.size(), 13u) << col;
      EXPECT_EQ(col, std::string("  -") + r.c + ", --" + r.long_name);
    }
  }
}

// ---- command line ------------------------------------------------------------------

TEST_F(Options, CommandLineSetsValuesAndTheirSource) {
  std::string long_mode(40, 'm');
  parse({"/opt/zolvar/sbin/rclientd", "target1", "-v", "-R", long_mode, "-d5", "--indir=abc",
         "--dirp", "7", "-l", "3", "--TPconfig", "tp2.conf", "target2"});
  EXPECT_STREQ(program, "rclientd");
  EXPECT_EQ(verbose_flag, 1);
  EXPECT_EQ(find_cs_entry("verbose")->csrc, CFG_CLARGS);
  EXPECT_EQ(std::string(zv_rec_mode), std::string(15, 'm'));  // cut to its capacity
  EXPECT_EQ(debug_level, 5);
  EXPECT_STREQ(zv_dirpath2, "abc");
  EXPECT_EQ(dir_poll_delay, 7);
  EXPECT_EQ(zv_cluster_num, 3);
  EXPECT_STREQ(tpartnerFileName, "tp2.conf");
  EXPECT_EQ(find_cs_entry("interface")->csrc, CFG_DEFAULT);
}

TEST_F(Options, ProgramIsTheBaseNameCutTo63Characters) {
  std::string longname(80, 'c');
  parse({"dir/" + longname});
  EXPECT_EQ(std::string(program), std::string(63, 'c'));
  parse({"failoverd"});
  EXPECT_STREQ(program, "failoverd");
}

TEST_F(Options, OptionalDebugLevelTakesTheNextWordOnlyWhenItIsANumber) {
  parse({"clientd", "--debuglevel", "5"});
  EXPECT_EQ(debug_level, 5);
  EXPECT_EQ(find_cs_entry("debug")->csrc, CFG_CLARGS);
  parse({"clientd", "--debuglevel", "verbose", "-v"});
  EXPECT_EQ(debug_level, 0);
  EXPECT_EQ(find_cs_entry("debug")->csrc, CFG_DEFAULT);
  EXPECT_EQ(verbose_flag, 1);  // the word was ignored; -v after it still counts
}

TEST_F(Options, OptionalDebugLevelWithTheValueAttached) {
  parse({"clientd", "--debuglevel=2048", "-v"});
  EXPECT_EQ(debug_level, 2048);
  EXPECT_EQ(verbose_flag, 1);
}

TEST_F(Options, VersionExitsZeroBeforeUsage) {
  EXPECT_EXIT(parse({"clientd", "-V", "-u"}), testing::ExitedWithCode(0), "^$");
  EXPECT_EXIT(parse({"clientd", "-u", "-V"}), testing::ExitedWithCode(0), "^$");
  EXPECT_EXIT(parse({"clientd", "-V", "-x"}), testing::ExitedWithCode(0), "invalid option");
  EXPECT_EXIT(parse({"clientd", "--usage"}), testing::ExitedWithCode(0), "^$");
  EXPECT_EXIT(parse({"clientd", "--help"}), testing::ExitedWithCode(0), "^$");
}

TEST_F(Options, BadOptionsExitTwoWithTheUsagePageOnStandardError) {
  EXPECT_EXIT(parse({"clientd", "-x"}), testing::ExitedWithCode(2),
              "invalid option -- 'x'\nUsage: clientd \\[options\\]");
  EXPECT_EXIT(parse({"clientd", "--nosuch"}), testing::ExitedWithCode(2), "Usage: clientd");
  EXPECT_EXIT(parse({"clientd", "-c"}), testing::ExitedWithCode(2),
              "requires an argument -- 'c'\nUsage:");
  EXPECT_EXIT(parse({"clientd", "-d", "0"}), testing::ExitedWithCode(2),
              "^the `-d' option requires a positive integer argument\nUsage: clientd");
  EXPECT_EXIT(parse({"clientd", "-l", "0"}), testing::ExitedWithCode(2),
              "^the `-l' option requires a positive integer argument\nUsage: clientd");
  EXPECT_EXIT(parse({"clientd", "--debug=abc"}), testing::ExitedWithCode(2),
              "^the `-d' option requires a positive integer argument\nUsage:");
  EXPECT_EXIT(parse({"clientd", "-n", "abc"}), testing::ExitedWithCode(2),
              "^the `-n' option requires a positive integer argument\nUsage: clientd");
  EXPECT_EXIT(parse({"clientd", "-n", "-4"}), testing::ExitedWithCode(2),
              "^the `-n' option requires a positive integer argument");
  EXPECT_EXIT(parse({"clientd", "-n", "99999999999"}), testing::ExitedWithCode(2),
              "^the `-n' option requires a positive integer argument");
  // Ambiguous abbreviation of a long name.
  EXPECT_EXIT(parse({"clientd", "--s"}), testing::ExitedWithCode(2), "ambiguous");
}

// ---- configuration values ----------------------------------------------------------

TEST_F(Options, LoadConfigPairsRules) {
  struct Case {
    const char *name;
    const char *value;
    int want;
  };
  const Case flags[] = {{"verbose", "no", 1}, {"verbose", "0", 1}, {"v", "x", 1}};
  for (const Case &k : flags) {
    load_config_defaults();
    load_config_pairs(k.name, k.value, 0, CFG_DFLTSECT);
    EXPECT_EQ(verbose_flag, k.want) << k.name << "=" << k.value;
    EXPECT_EQ(find_cs_entry("verbose")->csrc, CFG_DFLTSECT);
  }
  // A number reads its leading digits; one that is missing, below 1 or beyond an int
  // takes the row's default with a warning, except 0 where the default is 0 itself.
  struct Number {
    const char *name, *value;
    int &var;
    int want;
    const char *warning;
  } numbers[] = {
      {"debug", "0", debug_level, 0, nullptr},
      {"debug", "-3", debug_level, 0, "Using 0 as default for debug, found [-3]"},
      {"debug", "abc", debug_level, 0, "Using 0 as default for debug, found [abc]"},
      {"debug", "12abc", debug_level, 12, nullptr},
      {"d", "2048", debug_level, 2048, nullptr},
      {"dirpolldelay", "7s", dir_poll_delay, 7, nullptr},
      {"dirpolldelay", "-3", dir_poll_delay, 5, "Using 5 as default for dirpolldelay, found [-3]"},
      {"n", "0", dir_poll_delay, 5, "Using 5 as default for dirpolldelay, found [0]"},
      {"dirpolldelay", "abc", dir_poll_delay, 5,
       "Using 5 as default for dirpolldelay, found [abc]"},
      {"cachesize", "99999999999", zv_cache_size, 128,
       "Using 128 as default for cachesize, found [99999999999]"},
      {"clusternum", "2147483647", zv_cluster_num, 2147483647, nullptr},
  };
  for (const Number &k : numbers) {
    load_config_defaults();
    k.var = 99;
    auto c = capture([&] { load_config_pairs(k.name, k.value, 0, CFG_CFILE); });
    EXPECT_EQ(k.var, k.want) << k.name << "=" << k.value;
    std::vector<std::string> want;
    if (k.warning)
      want.push_back("WARNING: " + std::string(k.warning) +
                     " (not a number from 1 to 2147483647)");
    EXPECT_EQ(strip_prefix(c.err), want) << k.name << "=" << k.value;
  }
  // Strings are cut to their capacity; a command-line value is never overwritten.
  load_config_defaults();
  load_config_pairs("interface", std::string(100, 'i').c_str(), 0, CFG_CFILE);
  EXPECT_EQ(std::string(zv_interface), std::string(31, 'i'));
  parse({"clientd", "-i", "socket"});
  load_config_pairs("interface", "file", 0, CFG_CFILE);
  EXPECT_STREQ(zv_interface, "socket");
  EXPECT_EQ(find_cs_entry("interface")->csrc, CFG_CLARGS);
  load_config_pairs("nosuchkey", "1", 0, CFG_CFILE);  // no row: nothing happens
}

TEST_F(Options, ConfigDumpListsTheValuesOfOneSource) {
  parse({"clientd", "-v", "-a", "xin"});
  debug_level = 0x800;
  auto c = capture([] { dump_config(0x800, CFG_CLARGS); });
  EXPECT_EQ(c.err,
            "==== CFG_CLARGS   configuration values ====\n"
            "  STRING: indir = xin\n"
            "  FLAG: verbose = 1\n"
            "== END CFG_CLARGS   configuration values ==\n");
  auto d = capture([] { dump_config(0x800, static_cast<config_src_t>(9)); });
  EXPECT_EQ(d.err, "==== unknown configuration values ====\n== END unknown configuration values ==\n");
  debug_level = 1;
  auto none = capture([] { dump_config(0x800, CFG_DEFAULT); });
  EXPECT_EQ(none.err, "");
  debug_level = 0x800;
  auto dflt = capture([] { dump_config(0x800, CFG_DEFAULT); });
  EXPECT_NE(dflt.err.find("  INTEGER: cachesize = 128\n"), std::string::npos);
  EXPECT_NE(dflt.err.find("  STRING: receipt_socket = 127.0.0.1:8000\n"), std::string::npos);
}

// ---- configuration file ------------------------------------------------------------

TEST_F(Options, MissingFileSaysItDoesNotExist) {
  std::string path = dir_ + "/absent.conf";
  auto c = capture([&] { EXPECT_EQ(read_config_default_section(path.c_str()), -1); });
  EXPECT_EQ(c.err, "ERROR: The Zolvar configuration file (" + path + ") does not exist\n");
}

TEST_F(Options, SyntaxErrorReportsItsLine) {
  std::string path = write_conf("process_names = a\n# comment\nthis line has no equals sign\n");
  auto c = capture([&] { EXPECT_EQ(read_config_default_section(path.c_str()), -1); });
  EXPECT_EQ(c.err, "ERROR: Error on line 3 of the Zolvar configuration file (" + path + ")\n");
}

TEST_F(Options, DefaultSectionMustNameTheProcesses) {
  std::string path = write_conf("debug = 1\n[clientd]\nprocess_names = clientd\n");
  auto c = capture([&] { EXPECT_EQ(read_config_default_section(path.c_str()), -1); });
  EXPECT_EQ(c.err,
            "ERROR: Cannot find REQUIRED field (process_names) in the Zolvar configuration file (" +
                path + ").\n  Cannot continue.\n");
}

TEST_F(Options, PrecedenceCommandLineOwnSectionDefaultBuiltIn) {
  struct Case {
    std::string dflt;
    std::string own;
    std::vector<std::string> args;
    const char *want;
    config_src_t src;
  };
  const Case cases[] = {
      {"", "", {}, "in_dir", CFG_DEFAULT},
      {"indir = d_dir\n", "", {}, "d_dir", CFG_CFILE},  // the own section reads [default] too
      {"indir = d_dir\n", "indir = s_dir\n", {}, "s_dir", CFG_CFILE},
      {"indir = d_dir\n", "indir = s_dir\n", {"-a", "c_dir"}, "c_dir", CFG_CLARGS},
      {"", "indir = s_dir\n", {"--indir=c_dir"}, "c_dir", CFG_CLARGS},
      {"indir = d_dir\n", "indir =\n", {}, "d_dir", CFG_DFLTSECT},  // empty value ignored
  };
  for (const Case &k : cases) {
    rtt::reset_globals();
    std::vector<std::string> words = {"clientd"};
    words.insert(words.end(), k.args.begin(), k.args.end());
    Loaded l = load("process_names = clientd\n" + k.dflt +
                        "[clientd]\nprocess_type = CLIENT_PROCESS\n" + k.own,
                    words);
    ASSERT_EQ(l.dflt, 0) << l.io.err;
    ASSERT_EQ(l.walk, 0) << l.io.err;
    EXPECT_STREQ(zv_dirpath2, k.want) << k.dflt << "|" << k.own;
    EXPECT_EQ(find_cs_entry("indir")->csrc, k.src) << k.dflt << "|" << k.own;
  }
}

TEST_F(Options, DefaultSectionAloneGivesItsSource) {
  std::string path = write_conf("process_names = clientd\nindir = d_dir\nverbose = no\nraw =\n");
  parse({"clientd"});
  ASSERT_EQ(read_config_default_section(path.c_str()), 0);
  EXPECT_STREQ(zv_dirpath2, "d_dir");
  EXPECT_EQ(find_cs_entry("indir")->csrc, CFG_DFLTSECT);
  EXPECT_EQ(verbose_flag, 1);
  EXPECT_EQ(rawMessage_flag, 0);
  EXPECT_EQ(find_cs_entry("raw")->csrc, CFG_DEFAULT);
}

TEST_F(Options, NameNotListedStillGetsTheDefaultSection) {
  Loaded l = load("process_names = clientd\nindir = d_dir\n"
                  "[clientd]\nprocess_type = CLIENT_PROCESS\nindir = s_dir\n"
                  "[failoverd]\nprocess_type = FAILOVER_PROCESS\nindir = f_dir\n",
                  {"failoverd"});
  EXPECT_EQ(l.walk, 0) << l.io.err;
  EXPECT_STREQ(zv_dirpath2, "d_dir");
}

TEST_F(Options, ConfigKeyInTheFileOnlyRenames) {
  Loaded l = load("process_names = clientd\nconfig = other.conf\n"
                  "[clientd]\nprocess_type = CLIENT_PROCESS\nindir = s_dir\n",
                  {"clientd"});
  EXPECT_EQ(l.walk, 0);
  // The -c on the command line wins, and the file already loaded stays in use.
  EXPECT_EQ(std::string(configFileName), dir_ + "/zolvar.conf");
  EXPECT_STREQ(zv_dirpath2, "s_dir");
}

TEST_F(Options, TpconfigKeyInTheOwnSection) {
  Loaded l = load("process_names = clientd\nTPconfig = dflt_tp.conf\n"
                  "[clientd]\nprocess_type = CLIENT_PROCESS\nTPconfig = own_tp.conf\n",
                  {"clientd"});
  EXPECT_EQ(l.walk, 0);
  EXPECT_STREQ(tpartnerFileName, "own_tp.conf");
}

std::string cluster_conf(const std::string &extra) {
  return "process_names = rcv, srv, hsrv, zvp1, clientd, zvp2\n" + extra +
         "[rcv]\nprocess_type = RECEIPT_PROCESS\n"
         "[srv]\nprocess_type = STD_SERVER_PROCESS\n"
         "[hsrv]\nprocess_type = HPR_SERVER_PROCESS\n"
         "[clientd]\nprocess_type = CLIENT_PROCESS\n"
         "[zvp1]\nprocess_type = ZVP_PROCESS\nkey = k1.pem\ncert = c1.pem\nzvversion = 3\n"
         "[zvp2]\nprocess_type = ZVP_PROCESS\nkey = k2.pem\ncert = c2.pem\n";
}

TEST_F(Options, ClusterNumberShiftsTheListedSockets) {
  debug_level = 0;
  Loaded l = load(cluster_conf("clusternum = 2\n"), {"clientd", "-d", "1"});
  ASSERT_EQ(l.walk, 0) << l.io.err;
  EXPECT_STREQ(zv_receipt_socaddr, "127.0.0.1:8002");
  EXPECT_STREQ(zv_server_socaddr, "127.0.0.1:8003");
  EXPECT_STREQ(zv_hpserver_socaddr, "127.0.0.1:8004");
  auto err = strip_prefix(l.io.err);
  auto has = [&](const std::string &s) {
    for (const auto &e : err)
      if (e == s) return true;
    return false;
  };
  EXPECT_TRUE(has("Using default transport socket [127.0.0.1:8002] for receipt process"))
      << l.io.err;
  EXPECT_TRUE(has("Using default transport socket [127.0.0.1:8003] for std server process"));
  EXPECT_TRUE(has("Using default transport socket [127.0.0.1:8004] for hpri server process"));
  EXPECT_TRUE(has("Using default transport socket [127.0.0.1:8005] for zvp process [zvp1]"));
  EXPECT_TRUE(has("Using default transport socket [127.0.0.1:8006] for zvp process [zvp2]"));
  EXPECT_TRUE(has("WARNING: Using 2 as the default ZV version for zvp process [zvp2]"));
  // The last ZVP_PROCESS section loaded names the files that start-up checks.
  EXPECT_STREQ(keyFileName, "k2.pem");
  EXPECT_STREQ(certificateFileName, "c2.pem");
  // Slots 0 and 1 in list order.
  ASSERT_EQ(process_zvp_section("zvp1", 0, ZVP_SECTION, CFG_CFILE), 0);
  EXPECT_STREQ(zv_zvpproc_socaddr, "127.0.0.1:8005");
  EXPECT_EQ(zvp_version, 3);
  ASSERT_EQ(process_zvp_section("zvp2", 1, ZVP_SECTION, CFG_CFILE), 0);
  EXPECT_STREQ(zv_zvpproc_socaddr, "127.0.0.1:8006");
  EXPECT_EQ(zvp_version, 2);
  EXPECT_EQ(process_zvp_section("zvp3", 2, ZVP_SECTION, CFG_CFILE), -1);
}

TEST_F(Options, KindNotListedKeepsItsDefaultWithoutShift) {
  Loaded l = load("process_names = clientd, rcv\nclusternum = 2\n"
                  "[clientd]\nprocess_type = CLIENT_PROCESS\n"
                  "[rcv]\nprocess_type = RECEIPT_PROCESS\n",
                  {"clientd"});
  ASSERT_EQ(l.walk, 0);
  EXPECT_STREQ(zv_receipt_socaddr, "127.0.0.1:8002");
  EXPECT_STREQ(zv_server_socaddr, "127.0.0.1:8001");
  EXPECT_STREQ(zv_hpserver_socaddr, "127.0.0.1:8002");
}

TEST_F(Options, TransportListenPortReplacesAndTheCommandLineWins) {
  std::string conf = cluster_conf("clusternum = 1\n");
  conf += "[rcv]\ntransport_listen_port = 10.0.0.5:9100\n";
  conf += "[srv]\ntransport_listen_port = 10.0.0.6:9101\n";
  Loaded l = load(conf, {"clientd", "-U", "192.168.1.1:7000"});
  ASSERT_EQ(l.walk, 0) << l.io.err;
  EXPECT_STREQ(zv_receipt_socaddr, "192.168.1.1:7000");
  EXPECT_STREQ(zv_server_socaddr, "10.0.0.6:9101");
  EXPECT_STREQ(zv_hpserver_socaddr, "127.0.0.1:8003");
}

TEST_F(Options, OwnZvpSectionSetsTheIdentityGlobals) {
  Loaded l = load(cluster_conf("") + "[zvp2]\ntransport_listen_port = 127.0.0.1:9999\n"
                                     "zvversion = 3\nverbose = yes\n",
                  {"zvp2"});
  ASSERT_EQ(l.walk, 0) << l.io.err;
  EXPECT_EQ(zvp_version, 3);
  EXPECT_STREQ(zv_zvpproc_socaddr, "127.0.0.1:9999");
  EXPECT_EQ(verbose_flag, 1);
  EXPECT_EQ(find_cs_entry("verbose")->csrc, CFG_CFILE);
}

struct WalkError {
  std::string conf;
  std::vector<std::string> messages;
};

TEST_F(Options, WalkErrorsAreLoggedAndFailTheWalk) {
  const WalkError cases[] = {
      {"process_names = a, b\n[a]\nprocess_type = CLIENT_PROCESS\n[b]\nindir = x\n",
       {"ERROR: Cannot find REQUIRED field (process_type) for process [b]"}},
      {"process_names = a\n[a]\nprocess_type = client_process\n",
       {"ERROR: Cannot find a valid value for field (process_type) for process [a]. Found "
        "[client_process], valid values are: CLIENT_PROCESS, RECEIPT_PROCESS, "
        "STD_SERVER_PROCESS, HPR_SERVER_PROCESS, FAILOVER_PROCESS, or ZVP_PROCESS"}},
      {"process_names = z\n[z]\nprocess_type = ZVP_PROCESS\nzvversion = 3\ncert = c.pem\n",
       {"ERROR: Cannot find REQUIRED field (key) for zvp process [z]",
        "ERROR: Cannot load the local identity of zvp process [z]"}},
      {"process_names = z\n[z]\nprocess_type = ZVP_PROCESS\nzvversion = 2\nkey = k.pem\n",
       {"ERROR: Cannot find REQUIRED field (cert) for zvp process [z]",
        "ERROR: Cannot load the local identity of zvp process [z]"}},
      {"process_names = , ,\n", {"ERROR: Cannot find any process names in the process_names "
                                  "field in the Zolvar configuration file (CONF)"}},
  };
  for (const WalkError &k : cases) {
    rtt::reset_globals();
    Loaded l = load(k.conf, {"clientd"});
    ASSERT_EQ(l.dflt, 0) << l.io.err;
    EXPECT_EQ(l.walk, -1) << k.conf;
    std::vector<std::string> want;
    for (const auto &m : k.messages) {
      std::string s = m;
      size_t at = s.find("(CONF)");
      if (at != std::string::npos) s.replace(at, 6, "(" + dir_ + "/zolvar.conf)");
      want.push_back(s);
    }
    EXPECT_EQ(strip_prefix(l.io.err), want) << k.conf;
  }
}

TEST_F(Options, ProcessTypeFromTheDefaultSectionStandsIn) {
  Loaded l = load("process_names = clientd\nprocess_type = CLIENT_PROCESS\n", {"clientd"});
  EXPECT_EQ(l.walk, 0) << l.io.err;
}

TEST_F(Options, FailedSectionSlotIsReused) {
  Loaded l = load("process_names = z1, z2\n"
                  "[z1]\nprocess_type = ZVP_PROCESS\ncert = c.pem\n"
                  "[z2]\nprocess_type = ZVP_PROCESS\nkey = k2.pem\ncert = c2.pem\n",
                  {"clientd"});
  EXPECT_EQ(l.walk, -1);
  // z2 took slot 0, the slot z1 could not fill.
  ASSERT_EQ(process_zvp_section("z2", 0, ZVP_SECTION, CFG_CFILE), 0);
  EXPECT_STREQ(zv_zvpproc_socaddr, "127.0.0.1:8003");
}

TEST_F(Options, MoreThan64ZvpSectionsEndTheWalk) {
  std::string names, sections;
  for (int i = 0; i < 66; ++i) {
    names += (i ? ", z" : "z") + std::to_string(i);
    sections += "[z" + std::to_string(i) + "]\nprocess_type = ZVP_PROCESS\n";
  }
  Loaded l = load("process_names = " + names + "\nkey = k.pem\ncert = c.pem\nzvversion = 2\n" + sections,
                  {"clientd"});
  EXPECT_EQ(l.walk, -1);
  EXPECT_EQ(strip_prefix(l.io.err),
            std::vector<std::string>{"ERROR: Too many ZVP processes in the Zolvar "
                                     "configuration file: " +
                                     dir_ + "/zolvar.conf"});
}

}  // namespace
