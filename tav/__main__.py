from tav.cli import main
raise SystemExit(main())
