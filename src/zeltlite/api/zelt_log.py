"""The package logger.

Messages go to the standard ``logging`` logger named ``zeltlite``, so an
application configures them the usual way (``logging.basicConfig``, handlers,
levels).  ``ZELTLog.p`` prints its text unchanged to standard output.
"""
import logging

logger = logging.getLogger("zeltlite")


class ZELTLog:
    """Static logging operations called by the package's modules."""

    @staticmethod
    def e(msg, raise_exception=True):
        """Log an error; unless the second argument is false, then raise ``Exception(msg)``."""
        logger.error(msg)
        if raise_exception:
            raise Exception(msg)

    @staticmethod
    def zelt_e(msg):
        logger.error(msg)

    @staticmethod
    def w(msg):
        logger.warning(msg)

    @staticmethod
    def i(msg):
        logger.info(msg)

    @staticmethod
    def d(msg):
        logger.debug(msg)

    @staticmethod
    def p(msg):
        print(msg, flush=True)
