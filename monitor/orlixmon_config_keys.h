#pragma once

// what the configuration reader lets pass without a word: keys it does not
// know (a misspelt key is the default in disguise) and values it replaces
// with a default or wraps. the daemon logs them at start, `orlixctl config
// check` lists them.

#include <string>
#include <vector>

#include <boost/property_tree/ptree_fwd.hpp>

// one line per finding, e.g. `unknown key "metrics.listn" (did you mean "metrics.listen"?)`
std::vector<std::string> orlixmon_config_warnings(const boost::property_tree::ptree& root);

// the candidate closest to word by edit distance, or empty when none is
// close enough to be a slip of the keyboard
std::string orlixmon_closest_word(const std::string& word, const std::vector<std::string>& candidates);
