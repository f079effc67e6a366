"""What several test modules share: small languages, parsers, grammars and process helpers.
The tests and their subprocess scripts import it as `support` (tests/ is on the path)."""
