import sys

from vorn_metrics_plugin.mra.risk_compare import main

sys.exit(main())
