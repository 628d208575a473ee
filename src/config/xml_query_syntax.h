// The shape of the path queries the configuration lookup builds, checked
// before a query reaches an XML engine that does not survive malformed ones
// (Wine's MSXML 3 crashes on a pattern it cannot parse).
#pragma once

#include <string>

namespace telvora {

// True for Step('/'Step)*, where a Step is a name followed by any number of
// [@name="text"] or [@name='text'] predicates; the text may hold anything
// but its own quote. Names start with a letter or '_' and go on with
// letters, digits, '_', '-' and '.'. Everything else is false.
bool IsSimplePathQuery(const std::string& query);

}  // namespace telvora
